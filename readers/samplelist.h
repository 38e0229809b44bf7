#ifndef SAMPLELIST_H
#define SAMPLELIST_H

#include "annotations.h"

#include <QtGlobal>

#include <memory>
#include <vector>

// One signal of a file as it goes out, read once and never changed after, so
// that the output thread and the chart share it: a record's samples as the
// record stores them (its ADC units) with the mapping of those units to
// millivolts, mapped to DAC codes at the full scale in force as they go out;
// a sample file's DAC codes (its values' low 16 bits, as the DAC would take them).
struct SampleList
{
    // 16-bit storage for the formats of 16 bits or less and a sample file's
    // codes; 32-bit for wider ones (BDF's 24 bits).
    bool wide = false;
    std::vector<qint16> values;
    std::vector<qint32> wideValues;
    // Samples per second as the file gives them; 0 for a sample file.
    double rate = 0;
    // A record's units in millivolts: mV = (value - baseline) / gain. A gain
    // of 0 for a sample file, whose codes are the file's own.
    double gain = 0;
    double baseline = 0;
    // The record's annotations in sample order, whose beats the output marks
    // as they go out; null when it has none.
    std::shared_ptr<const QVector<Annotation>> annotations;

    qint64 size() const { return qint64(wide ? wideValues.size() : values.size()); }
    bool isRecord() const { return gain != 0; }
    // Sample i as kept: a record's in its units, a sample file's code (0 to 65535).
    qint32 value(qint64 i) const
    {
        const auto at = std::size_t(i);
        return wide ? wideValues[at] : isRecord() ? values[at] : quint16(values[at]);
    }
    double millivolts(double value) const { return (value - baseline) / gain; }
    // Sample i's DAC code at fullScaleMv: 32768 + round(mV × 65536 /
    // fullScaleMv), halves away from zero, clamped to the DAC's range; a
    // sample file's code as it is.
    quint16 code(qint64 i, double fullScaleMv) const;
    // The next count samples: a record's values, a sample file's integers.
    void append(const qint32 *samples, int count);
    // Room for count samples, reserved at once.
    void reserve(qint64 count);
};

#endif // SAMPLELIST_H
