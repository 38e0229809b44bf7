#ifndef OUTPUTPLAN_H
#define OUTPUTPLAN_H

#include "samplelist.h"

#include <QtGlobal>

#include <memory>

// What the output loop sends and how, as the playback publishes it: a value,
// always replaced whole, so that the loop never sees half a command.
struct OutputPlan
{
    // What goes out; null or empty: nothing.
    std::shared_ptr<const SampleList> list;
    // Counts the lists put in place: the progress the loop reports (position,
    // loops, beats) is of one generation, and a frame of one is never counted
    // in the next.
    quint64 generation = 0;
    // Where the read position goes, modulo the list's length; -1: where it is
    // (for a new list, its sample after the last one sent, however a frame
    // was in flight).
    qint64 position = -1;
    // Samples per second on the exact clock; 0: the classic pacing. The
    // caller checks the bounds.
    double rate = 0;
    // The millivolts across the DAC's range for a record's codes, whatever
    // full scale they were read at; a sample file's codes go out as they are.
    double fullScaleMv = 10;
    bool playing = false;
    // Played once from where it is to its end, then its last sample's code
    // sent padFrames times more, then nothing (AppWorker::playedOnce); else in
    // a loop. A new list or a placement plays again.
    bool once = false;
    qint64 padFrames = 0;
};

#endif // OUTPUTPLAN_H
