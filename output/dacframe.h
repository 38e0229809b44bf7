#ifndef DACFRAME_H
#define DACFRAME_H

#include <QtGlobal>

#include <array>
#include <cstdint>

// One DAC8551 input word: a control byte (power-down bits 0, output on), then the
// sample's low 16 bits, most significant byte first. Samples are not clamped.
using DacFrame = std::array<std::uint8_t, 3>;

constexpr DacFrame dacFrame(qint32 sample)
{
    return {0x00, std::uint8_t((sample >> 8) & 0xFF), std::uint8_t(sample & 0xFF)};
}

#endif // DACFRAME_H
