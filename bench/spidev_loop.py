#!/usr/bin/env python3
"""What a Pi user would otherwise write: stream a sample file to the DAC with
python3-spidev, one xfer2 per sample and a 2 ms sleep.

usage: spidev_loop.py SAMPLES SECONDS WARMUP_SECONDS
Prints the frames sent and the CPU seconds of its thread after the warm-up.
"""
import sys
import time

import spidev

path, seconds, warmup = sys.argv[1], float(sys.argv[2]), float(sys.argv[3])
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
while True:
    now = time.monotonic()
    if now >= end:
        break
    if cpu_start is None and now >= measured_from:
        cpu_start = time.thread_time()
        frames = 0
    value = samples[i] & 0xFFFF
    spi.xfer2([0, value >> 8, value & 0xFF])
    time.sleep(0.002)
    frames += 1
    i = (i + 1) % len(samples)

print(frames, time.thread_time() - cpu_start)
spi.close()
