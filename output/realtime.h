#ifndef REALTIME_H
#define REALTIME_H

// Asks for real-time scheduling of the calling thread at the given priority:
// SCHED_FIFO set directly (root, CAP_SYS_NICE, or within RLIMIT_RTPRIO), or,
// when that is refused, through RealtimeKit on the system bus, which may cap the
// priority. False when neither grants it; the thread then keeps its policy.
// Never blocks for more than a few seconds.
bool makeCurrentThreadRealtime(int priority);

#endif // REALTIME_H
