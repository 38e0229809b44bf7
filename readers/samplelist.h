#ifndef SAMPLELIST_H
#define SAMPLELIST_H

#include "annotations.h"

#include <QtGlobal>

#include <memory>
#include <vector>

// One signal of a file as it goes out: the DAC code of every sample (a sample
// file's values keep their low 16 bits, as the DAC would), read once and never
// changed after, so that the output thread and the chart share it.
struct SampleList
{
    std::vector<quint16> codes;
    // Samples per second as the file gives them; 0 for a sample file.
    double rate = 0;
    // The millivolts across the DAC's range that a record's codes were mapped
    // at; 0 for a sample file, whose codes are the file's own.
    double fullScaleMv = 0;
    // The record's annotations in sample order, whose beats the output marks
    // as they go out; null when it has none.
    std::shared_ptr<const QVector<Annotation>> annotations;

    qint64 size() const { return qint64(codes.size()); }
    bool isRecord() const { return fullScaleMv > 0; }
};

#endif // SAMPLELIST_H
