#ifndef DAC8551_H
#define DAC8551_H

#include <cstddef>
#include <cstdint>

// What a DAC8551 makes of one chip-select period: 24 clocked bits are an input
// word (6 don't-care bits, 2 power-down bits, a 16-bit straight-binary code);
// any other count is not a word and leaves the output as it was.
struct Dac8551Output
{
    bool validWord = false;
    int powerDown = 0;     // 0 normal; 1, 2, 3 output off (to ground through 1k, 100k, or open)
    std::uint16_t code = 0;
    double volts = 0.0;
};

inline Dac8551Output dac8551Update(const Dac8551Output &previous, const std::uint8_t *bytes, std::size_t length,
                                   double vref)
{
    if (length != 3 || !bytes) {
        Dac8551Output unchanged = previous;
        unchanged.validWord = false;
        return unchanged;
    }
    Dac8551Output next;
    next.validWord = true;
    next.powerDown = bytes[0] & 0x03;
    next.code = std::uint16_t(bytes[1] << 8 | bytes[2]);
    next.volts = next.powerDown == 0 ? vref * next.code / 65536.0 : 0.0;
    return next;
}

#endif // DAC8551_H
