#include "records.h"

#include <functional>

QByteArray wfdbSamples(int format, const QVector<int> &samples)
{
    QByteArray bytes;
    for (int i = 0; i < samples.size(); i += format == 16 ? 1 : 2) {
        const int first = samples[i] & 0xFFFF;
        if (format == 16) {
            bytes += char(first & 0xFF);
            bytes += char(first >> 8);
            continue;
        }
        // Format 212: the first sample's low byte, both samples' high nibbles, the second's low byte.
        const int second = i + 1 < samples.size() ? samples[i + 1] & 0xFFF : 0;
        bytes += char(first & 0xFF);
        bytes += char((first >> 8 & 0x0F) | (second >> 8) << 4);
        if (i + 1 < samples.size())
            bytes += char(second & 0xFF);
    }
    return bytes;
}

namespace {

QByteArray field(const QByteArray &text, int width)
{
    return text.leftJustified(width, ' ', true);
}

} // namespace

QByteArray edfFile(const QVector<EdfSignal> &signalList, int records, const QByteArray &duration,
                   const QByteArray &reserved, const QVector<EdfEvent> &events, int sampleBytes)
{
    QVector<EdfSignal> all = signalList;
    const bool bdf = sampleBytes == 3;
    const int digitalMin = bdf ? -1000000 : -32768;
    const int digitalMax = bdf ? 1000000 : 32767;
    const bool plus = !reserved.isEmpty() && !bdf;
    if (plus)
        all.append({"EDF Annotations", "", 0, 15, {}});
    const int count = all.size();
    QByteArray file = field(bdf ? "\xFF" "BIOSEMI" : "0", 8) + field(plus ? "X X X X" : "patient", 80)
                      + field(plus ? "Startdate X X X X" : "recording", 80) + "01.01.20" + "00.00.00"
                      + field(QByteArray::number(256 * (count + 1)), 8) + field(reserved, 44)
                      + field(QByteArray::number(records), 8) + field(duration, 8)
                      + field(QByteArray::number(count), 4);
    const auto each = [&](int width, const std::function<QByteArray(const EdfSignal &)> &text) {
        for (const EdfSignal &signal : all)
            file += field(text(signal), width);
    };
    const auto physical = [](const EdfSignal &signal, int digital) {
        return signal.unitsPerDigit == 0 ? QByteArray::number(digital < 0 ? -1 : 1)
                                         : QByteArray::number((digital + signal.offset) * signal.unitsPerDigit);
    };
    each(16, [](const EdfSignal &signal) { return signal.label; });
    each(80, [](const EdfSignal &) { return QByteArray(); });
    each(8, [](const EdfSignal &signal) { return signal.unit; });
    each(8, [&](const EdfSignal &signal) { return physical(signal, digitalMin); });
    each(8, [&](const EdfSignal &signal) { return physical(signal, digitalMax); });
    each(8, [&](const EdfSignal &) { return QByteArray::number(digitalMin); });
    each(8, [&](const EdfSignal &) { return QByteArray::number(digitalMax); });
    each(80, [](const EdfSignal &) { return QByteArray(); });
    each(8, [](const EdfSignal &signal) { return QByteArray::number(signal.perRecord); });
    each(32, [](const EdfSignal &) { return QByteArray(); });
    for (int record = 0; record < records; ++record) {
        for (const EdfSignal &signal : all) {
            if (signal.label == "EDF Annotations") {
                // A time-keeping annotation: the record's onset, then the record's events.
                const double start = record * duration.toDouble();
                QByteArray annotations = "+" + QByteArray::number(start) + "\x14\x14" + '\0';
                for (const EdfEvent &event : events) {
                    if (event.first >= start && event.first < start + duration.toDouble())
                        annotations += "+" + QByteArray::number(event.first) + '\x14' + event.second + '\x14' + '\0';
                }
                file += (annotations + QByteArray(2 * signal.perRecord, '\0')).left(2 * signal.perRecord);
                continue;
            }
            for (int i = 0; i < signal.perRecord; ++i) {
                const int value = signal.digital.value(record * signal.perRecord + i);
                for (int byte = 0; byte < sampleBytes; ++byte)
                    file += char(value >> 8 * byte & 0xFF);
            }
        }
    }
    return file;
}
