#ifndef BOUNDS_H
#define BOUNDS_H

// The bounds of what the operator may ask for, whatever the entry.

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

#endif // BOUNDS_H
