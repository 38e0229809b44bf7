#!/usr/bin/env python3
"""What a Pi user would otherwise write: stream a sample file to the DAC with
python3-spidev, one xfer2 per sample and a 2 ms sleep; or, given a rate, each
frame at its own absolute deadline, start + k / RATE (time.sleep until it).

usage: spidev_loop.py SAMPLES SECONDS WARMUP_SECONDS [RATE]
Prints the frames sent and the CPU seconds of its thread after the warm-up.
"""
import sys
import time

import spidev

path, seconds, warmup = sys.argv[1], float(sys.argv[2]), float(sys.argv[3])
rate = float(sys.argv[4]) if len(sys.argv) > 4 else 0.0
with open(path) as f:
    samples = [int(line) for line in f if line.strip()]

spi = spidev.SpiDev()
spi.open(0, 0)
spi.mode = 1
spi.bits_per_word = 8
spi.max_speed_hz = 100000

start = time.monotonic()
measured_from = start + warmup
end = measured_from + seconds
frames = 0
cpu_start = None
i = 0
k = 0
while True:
    now = time.monotonic()
    if now >= end:
        break
    if cpu_start is None and now >= measured_from:
        cpu_start = time.thread_time()
        frames = 0
    value = samples[i] & 0xFFFF
    if rate:
        time.sleep(max(0.0, start + k / rate - time.monotonic()))
        k += 1
    spi.xfer2([0, value >> 8, value & 0xFF])
    if not rate:
        time.sleep(0.002)
    frames += 1
    i = (i + 1) % len(samples)

print(frames, time.thread_time() - cpu_start)
spi.close()
