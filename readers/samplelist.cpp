#include "samplelist.h"

#include <cmath>

quint16 SampleList::code(qint64 i, double fullScaleMv) const
{
    const qint32 kept = value(i);
    if (!isRecord())
        return quint16(kept);
    // mV × 65536 is exact, and so is its quotient by the full scale when that
    // is a half: halves round as the formula says, away from mid-scale.
    const double offset = std::round(millivolts(kept) * 65536 / fullScaleMv);
    return quint16(32768 + qBound(-32768.0, offset, 32767.0));
}

void SampleList::append(const qint32 *samples, int count)
{
    if (wide) {
        wideValues.insert(wideValues.end(), samples, samples + count);
        return;
    }
    // A record's narrow values fit; a sample file keeps its low 16 bits.
    for (int i = 0; i < count; ++i)
        values.push_back(qint16(quint16(samples[i])));
}

void SampleList::reserve(qint64 count)
{
    if (wide)
        wideValues.reserve(std::size_t(count));
    else
        values.reserve(std::size_t(count));
}
