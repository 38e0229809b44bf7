#ifndef SENTFRAMES_H
#define SENTFRAMES_H

#include <QVector>

#include <cstddef>

// The DAC codes (bytes 1 and 2) of the frames the spidev double recorded, from
// the given transfer on.
QVector<quint16> sentCodes(std::size_t from = 0);

#endif // SENTFRAMES_H
