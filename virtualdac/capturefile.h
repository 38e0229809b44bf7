#ifndef CAPTUREFILE_H
#define CAPTUREFILE_H

// The virtual DAC's capture: a CSV file, this header line, then one line per
// transfer. A capture that reached its size limit ends with a line starting
// with captureCutPrefix, then the time_ns of the first transfer left out.
constexpr const char *captureHeader = "time_ns,code,volts,valid_word,power_down,len,speed_hz,bits_per_word,"
                                      "delay_usecs,cs_change,tx\n";
constexpr const char *captureCutPrefix = "# cut at time_ns ";

#endif // CAPTUREFILE_H
