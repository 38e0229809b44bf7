#include "samplefile.h"

#include <QFile>
#include <QTextStream>

#include <algorithm>

namespace {

SampleLine decodedLine(const QString &line)
{
    const QString trimmed = line.trimmed();
    if (trimmed.isEmpty())
        return {SampleLine::Blank, 0, QString()};
    bool ok = false;
    const int value = trimmed.toInt(&ok, 10);
    return ok ? SampleLine{SampleLine::Value, value, QString()} : SampleLine{SampleLine::Invalid, -1, trimmed};
}

bool isAsciiSpace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// The same rule as decodedLine for a line of ASCII bytes, without a QString.
SampleLine asciiLine(const char *begin, const char *end)
{
    while (begin < end && isAsciiSpace(*begin))
        ++begin;
    while (end > begin && isAsciiSpace(end[-1]))
        --end;
    if (begin == end)
        return {SampleLine::Blank, 0, QString()};
    const char *digit = begin;
    const bool negative = *digit == '-';
    if (*digit == '-' || *digit == '+')
        ++digit;
    qint64 magnitude = 0;
    const qint64 limit = negative ? qint64(2147483648) : qint64(2147483647);
    bool ok = digit < end;
    for (; ok && digit < end; ++digit) {
        ok = *digit >= '0' && *digit <= '9';
        magnitude = magnitude * 10 + (*digit - '0');
        ok = ok && magnitude <= limit;
    }
    if (!ok)
        return {SampleLine::Invalid, -1, QString::fromLatin1(begin, int(end - begin))};
    return {SampleLine::Value, qint32(negative ? -magnitude : magnitude), QString()};
}

// A UTF-16 or UTF-32 text (by its byte-order mark), which QTextStream decodes.
bool isWideText(QIODevice &file)
{
    const QByteArray start = file.peek(4);
    return start.startsWith("\xFF\xFE") || start.startsWith("\xFE\xFF") || start == QByteArray("\0\0\xFE\xFF", 4);
}

bool readDecodedLines(QIODevice &file, const std::function<bool(const SampleLine &line)> &take)
{
    QTextStream in(&file);
    while (!in.atEnd()) {
        // One character more than allowed tells an over-long line from one that fits.
        const QString line = in.readLine(maxSampleLineLength + 1);
        if (line.size() > maxSampleLineLength)
            return false;
        if (!take(decodedLine(line)))
            return false;
    }
    return true;
}

} // namespace

qint64 estimatedLineCount(QFile &file)
{
    const QByteArray start = file.peek(1 << 16);
    const int lines = start.count('\n');
    if (lines == 0)
        return 0;
    return qint64(double(file.size()) * lines / start.size() * 1.05) + 16;
}

bool readSampleLines(QIODevice &file, const std::function<bool(const SampleLine &line)> &take)
{
    if (isWideText(file))
        return readDecodedLines(file, take);
    // A character takes at most 4 bytes: a line that fills this buffer without
    // its line end is longer than allowed, however it decodes.
    QByteArray buffer(4 * maxSampleLineLength + 2, Qt::Uninitialized);
    bool firstLine = true;
    while (!file.atEnd()) {
        const qint64 length = file.readLine(buffer.data(), buffer.size());
        if (length < 0)
            return false;
        const char *begin = buffer.constData();
        const char *end = begin + length;
        if (end > begin && end[-1] == '\n')
            --end;
        else if (!file.atEnd())
            return false;
        // The byte-order mark of UTF-8, which QTextStream drops.
        if (firstLine && end - begin >= 3 && QByteArray::fromRawData(begin, 3) == "\xEF\xBB\xBF")
            begin += 3;
        firstLine = false;
        if (std::all_of(begin, end, [](char c) { return uchar(c) < 0x80; })) {
            if (end - begin > maxSampleLineLength)
                return false;
            if (!take(asciiLine(begin, end)))
                return false;
        } else {
            const QString line = QString::fromUtf8(begin, int(end - begin));
            if (line.size() > maxSampleLineLength)
                return false;
            if (!take(decodedLine(line)))
                return false;
        }
    }
    return true;
}
