#ifndef BOUNDS_H
#define BOUNDS_H

#include "refusal.h"

// The bounds of what the operator may ask for, and the one check of each,
// whatever the entry (the options, SCPI, MPRIS, the playback).

// At 100 kHz a frame takes 240 us on the wire. At 2000 samples/s a period of
// 500 us leaves as much again for the wake-up and the loop, which a Pi's
// real-time latency (about 100 us at p99) fits in; records of up to 1000
// samples/s play with room to spare.
constexpr double maxSampleRate = 2000;
// A sample every 1000 s: slower is no signal, and the clock's deadlines stay
// far within 64 bits of nanoseconds for thousands of years.
constexpr double minSampleRate = 0.001;
// A full scale of up to 100 V covers any attenuator in front of an ECG input.
constexpr double maxFullScaleMv = 100000;
// A microvolt across the whole range: far below any ECG's resolution.
constexpr double minFullScaleMv = 0.001;
// A pulse of 10 us is still seen by a scope or a counter; one of a second
// already spans several beats.
constexpr double minSyncWidthMs = 0.01;
constexpr double maxSyncWidthMs = 1000;

// None when the value is within its bounds (a NaN is not).
inline Refusal rateRefusal(double samplesPerSecond)
{
    if (samplesPerSecond >= minSampleRate && samplesPerSecond <= maxSampleRate)
        return {};
    return {Refusal::OutOfRange, "Cadence refusée.",
            QString("Cadence de %1 échantillons par seconde refusée : de %2 à %3")
                .arg(samplesPerSecond)
                .arg(minSampleRate)
                .arg(maxSampleRate)};
}

inline Refusal fullScaleRefusal(double mv)
{
    if (mv >= minFullScaleMv && mv <= maxFullScaleMv)
        return {};
    return {Refusal::OutOfRange, "Pleine échelle refusée.",
            QString("Pleine échelle de %1 mV refusée : de %2 à %3").arg(mv).arg(minFullScaleMv).arg(maxFullScaleMv)};
}

inline Refusal syncWidthRefusal(double ms)
{
    if (ms >= minSyncWidthMs && ms <= maxSyncWidthMs)
        return {};
    return {Refusal::OutOfRange, "Durée d'impulsion refusée.",
            QString("Impulsion de %1 ms refusée : de %2 à %3").arg(ms).arg(minSyncWidthMs).arg(maxSyncWidthMs)};
}

// A learning period of up to a day: a monitor learns in seconds to minutes.
constexpr double maxScoreFromSeconds = 86400;

// None for seconds from 0 to most; else a refusal titled title, text naming the bounds.
inline Refusal secondsRefusal(double seconds, double most, const char *title, const char *text)
{
    if (seconds >= 0 && seconds <= most)
        return {};
    return {Refusal::OutOfRange, title, QString(text).arg(seconds).arg(most)};
}

inline Refusal scoreFromRefusal(double seconds)
{
    return secondsRefusal(seconds, maxScoreFromSeconds, "Début du score refusé.",
                          "Score à partir de %1 s refusé : de 0 à %2");
}

// A record played once is padded with its last value for up to an hour: EC57
// asks for seconds, for the last beat's detection to come.
constexpr double maxPadSeconds = 3600;

inline Refusal padRefusal(double seconds)
{
    return secondsRefusal(seconds, maxPadSeconds, "Durée de fin refusée.", "Fin de %1 s refusée : de 0 à %2");
}

// A sample of a list of length samples.
inline Refusal positionRefusal(qint64 at, qint64 length)
{
    if (at >= 0 && at < length)
        return {};
    return {Refusal::OutOfRange, "Position refusée.",
            QString("Position %1 refusée : de 0 à %2").arg(at).arg(length - 1)};
}

#endif // BOUNDS_H
