#ifndef TIMING_H
#define TIMING_H

#include "samplelist.h"

#include <QString>

// "1:02:03" for 3723 seconds, "0:00:12,5" with one decimal (rounded down, so
// that a clock never shows a second not yet reached).
QString clockText(double seconds, int decimals = 0);

#endif // TIMING_H
