#!/usr/bin/env python3
"""Checks a run of the emulated board (tools/board.sh).

Decodes QEMU's trace of the SPI bus into chip-select periods, writes them to a
CSV file (host time in microseconds, then the bytes in hex), and compares them
with the sample file and with what the guest reported: the kernel's count of
SPI messages at each of the operator's steps, the application's log lines, its
real-time thread and the settings read back from the driver; and the sync
line's pulses, as the guest's kernel traced them, against the record's beats.

usage: checkbus.py TRACE CONSOLE SAMPLE_FILE RECORD BUS_CSV
"""
import os
import re
import statistics
import sys

from checksync import beats, check_sync

TRACE_LINE = re.compile(r"\d+@(\d+)\.(\d{6}):m25p80_(select|transfer) \[[^]]*\] (.*)")
SAMPLE = re.compile(r"[+-]?\d+")
# How far the kernel's count of messages over a timed stretch may stray from
# the rate asked, in the guest's own time: counting over 4 s alone is 0.07 %
# off, and the idle emulation kept 360/s within 0.08 %. Slower is accepted only
# where the program reported late samples in that run (a starved emulation).
RATE_TOLERANCE = 0.01


def dac_frames(path):
    """The DAC frame of each non-blank line, as the program's loader reads it."""
    frames = []
    with open(path, encoding="utf-8", errors="replace") as samples:
        for line in samples:
            text = line.strip()
            if not text:
                continue
            value = int(text) if SAMPLE.fullmatch(text) and -2**31 <= int(text) < 2**31 else -1
            frames.append(bytes([0, (value >> 8) & 0xFF, value & 0xFF]))
    return frames


def record_frames(values):
    """The DAC frames of a record's values, 200 per mV about 1024 (as the records
    of tools/board.sh), mapped to codes with the default 10 mV across the DAC's
    range, as the program's reader does."""
    frames = []
    for value in values:
        code = min(max(round(32768 + (value - 1024) / 200 * (65536 / 10)), 0), 65535)
        frames.append(bytes([0, code >> 8, code & 0xFF]))
    return frames


def sample_values(path):
    with open(path) as samples:
        return [int(line) for line in samples if line.strip()]


def first_signal(header):
    """The first signal's values of a WFDB record in format 212, its file beside the header."""
    with open(header) as text:
        signals = int(text.readline().split()[1])
        file_name, data_format = text.readline().split()[:2]
    if data_format != "212":
        sys.exit(f"{header}: format {data_format}, not 212")
    data = open(os.path.join(os.path.dirname(header), file_name), "rb").read()
    values = []
    for i in range(0, len(data) - 2, 3):
        low, high, next_low = data[i:i + 3]
        values += [low | (high & 0x0F) << 8, next_low | (high & 0xF0) << 4]
    return [value - 4096 if value >= 2048 else value for value in values[::signals]]


def bus_periods(path):
    """(host time of the select in microseconds, bytes) of each chip-select period."""
    periods = []
    current = None
    with open(path) as trace:
        for line in trace:
            match = TRACE_LINE.match(line)
            if not match:
                continue
            time_us = int(match[1]) * 1000000 + int(match[2])
            if match[3] == "select":
                if match[4] == "select":
                    current = (time_us, bytearray())
                elif current is not None:
                    periods.append(current)
                    current = None
            elif current is not None:
                current[1].append(int(match[4].rsplit("tx 0x", 1)[1], 16))
    return periods


def scenarios(path):
    """The guest's report lines, by scenario."""
    reports = {}
    lines = None
    with open(path, encoding="utf-8", errors="replace") as console:
        for line in console:
            line = line.rstrip("\r\n")
            if line.startswith("BOARD scenario: "):
                lines = reports.setdefault(line[len("BOARD scenario: "):], [])
            elif line.startswith("BOARD ") and lines is not None:
                lines.append(line[len("BOARD "):])
    return reports


def value(lines, prefix):
    found = [line[len(prefix):] for line in lines if line.startswith(prefix)]
    return found[0] if found else None


class Verdict:
    def __init__(self):
        self.failures = 0

    def check(self, condition, what):
        print(("board: ok    " if condition else "board: WRONG ") + what)
        self.failures += not condition


def check_operator(verdict, name, lines, periods, first, frames, rate=None):
    """The periods of one operator scenario, from index first; returns how many.
    With a rate, the kernel's count over each run's timed stretch must match it."""
    counts = [int(value(lines, label) or -1) for label in (
        "messages before: ", "messages after the first run: ", "messages after the pause: ",
        "messages after the second run: ", "messages after Quit: ")]
    pauses = [int(line.split(": ")[1]) for line in lines if line.startswith("messages after the pause: ")]
    if len(pauses) != 2 or -1 in counts:
        verdict.check(False, f"{name}: the guest reported its message counts")
        return 0
    before, after_first, _, after_second, after_quit = counts
    first_run = after_first - before
    second_run = after_second - pauses[0]
    verdict.check(pauses[0] == after_first and pauses[1] == after_second,
                  f"{name}: no message while switched off (kernel counts {counts[:3] + pauses[1:]})")
    # Quit stops a paused loop at once: a paused output stays silent.
    verdict.check(after_quit == after_second, f"{name}: no frame at Quit after the pause")
    sent = periods[first:first + after_quit - before]
    verdict.check(len(sent) == after_quit - before and first_run > 0 and second_run > 0,
                  f"{name}: {first_run} + {second_run} frames on the bus, as many as the kernel counted")
    wrong = [i for i, (_, data) in enumerate(sent) if bytes(data) != frames[i % len(frames)]]
    verdict.check(not wrong, f"{name}: every frame is the sample file's value at its place, from the first, "
                  f"wrapping after {len(frames)}, each run going on where the one before stopped"
                  + (f" (first wrong: frame {wrong[0]})" if wrong else ""))
    for run, end in (("first", first_run), ("second", first_run + second_run)):
        if 0 < end < len(sent):
            gap_ms = (sent[end][0] - sent[end - 1][0]) / 1000
            verdict.check(gap_ms >= 900, f"{name}: {gap_ms:.0f} ms after the {run} run, the pause with nothing sent")
    periods_ms = [(b[0] - a[0]) / 1000 for a, b in zip(sent, sent[1:first_run])]
    if periods_ms:
        print(f"board: info  {name}: period median {statistics.median(periods_ms):.3f} ms, "
              f"p99 {sorted(periods_ms)[int(0.99 * len(periods_ms))]:.3f} ms (host time, not the wire's)")
    late = 0  # samples the program reported late since the last run ended
    for line in lines:
        reported = re.match(r"log Cadence non tenue: (\d+) ", line)
        late += int(reported.group(1)) if reported else 0
        stretch = re.match(r"stretch of the (\w+) run: (\d+) messages in ([\d.]+) s", line)
        if not stretch:
            continue
        measured = int(stretch.group(2)) / float(stretch.group(3))
        what = f"{name}: {measured:.2f} messages/s over the {stretch.group(1)} run"
        if rate is None:
            print(f"board: info  {what}")
        elif late and rate * (1 - RATE_TOLERANCE) > measured:
            # A busy host slows the emulated board below any rate; the program
            # must then say that it fell behind, and never send more.
            verdict.check(True, f"{what}: behind {rate}, and the program said so ({late} late samples)")
        else:
            verdict.check(abs(measured / rate - 1) <= RATE_TOLERANCE, f"{what}, {rate} within {RATE_TOLERANCE:.1%}")
        late = 0
    logs = [line[len("log "):] for line in lines if line.startswith("log ")]
    verdict.check(logs.count(f"Fichier chargé avec {len(frames)} valeurs.") == 1,
                  f"{name}: the file read once, at its choice, and not again at a switch-on, unchanged")
    verdict.check(value(lines, "real-time threads while streaming: ") == "FIFO 20"
                  and "Priorité temps réel indisponible, cadence non garantie" not in logs,
                  f"{name}: the output thread runs SCHED_FIFO 20")
    verdict.check("Worker terminé" in logs and "Thread terminé" in logs and value(lines, "exit status: ") == "0",
                  f"{name}: Quit ends the output thread and the program, status 0")
    return len(sent)


def check_play(verdict, name, lines, periods, first, frames, unbound=False, rate=None):
    """The periods of one headless run, from index first; returns how many."""
    before, after = (int(value(lines, label) or -1) for label in ("messages before: ", "messages after: "))
    sent = periods[first:first + after - before]
    verdict.check(before >= 0 and after > before and len(sent) == after - before,
                  f"{name}: {after - before} frames on the bus, as many as the kernel counted")
    wrong = [i for i, (_, data) in enumerate(sent) if bytes(data) != frames[i % len(frames)]]
    verdict.check(not wrong, f"{name}: every frame is the sample file's value at its place, from the first"
                  + (f" (first wrong: frame {wrong[0]})" if wrong else ""))
    logs = [line[len("log "):] for line in lines if line.startswith("log ")]
    verdict.check(value(lines, "exit status: ") == "0" and "Worker terminé" in logs and "Thread terminé" in logs,
                  f"{name}: SIGTERM ends it after its last frame, status 0")
    if rate is not None:
        stretch = re.match(r"(\d+) messages in ([\d.]+) s", value(lines, "stretch of the run: ") or "")
        measured = int(stretch.group(1)) / float(stretch.group(2)) if stretch else 0
        within = abs(measured / rate - 1) <= RATE_TOLERANCE
        # A host that starves the emulation slows it below any rate; the program must then say so.
        behind = measured < rate and any(line.startswith("Cadence non tenue") for line in logs)
        verdict.check(f"Cadence: {rate} échantillons par seconde" in logs and (within or behind),
                      f"{name}: at the header's {rate}/s ({measured:.2f} messages/s"
                      + (")" if within else ", behind, and the program said so)"))
    faults = [line for line in logs if line.startswith("Échec de transfert SPI:")]
    if unbound:
        verdict.check(len(faults) == 1 and value(lines, "answers after the unbind: ") == "yes",
                      f"{name}: one warning for the failed transfers, {faults}, and it still answers")
    else:
        verdict.check(not faults, f"{name}: no failed transfer")
    return len(sent)


def check_refused(verdict, name, lines):
    logs = [line[len("log "):] for line in lines if line.startswith("log ")]
    verdict.check(value(lines, "DAC refused: ") == "yes" and "Erreur initialisation DAC8551" in logs
                  and value(lines, "exit status: ") == "0",
                  f"{name}: \"Erreur initialisation DAC8551\" in the log and a warning box, then a clean Quit")


def main():
    if len(sys.argv) != 6:
        sys.exit(__doc__)
    trace, console, sample_file, record, bus_csv = sys.argv[1:]
    frames = dac_frames(sample_file)
    periods = bus_periods(trace)
    with open(bus_csv, "w") as out:
        for time_us, data in periods:
            out.write(f"{time_us},{data.hex()}\n")
    reports = scenarios(console)
    verdict = Verdict()
    expected = ["operator, as root", "operator at 360 samples/s, as root",
                "operator of group spi, real-time priority up to 20", "headless, as root",
                "headless, as an operator of group spi", "headless, a WFDB record at its rate, as root",
                "headless, a record's beats on a sync line", "headless, spidev unbound while streaming",
                "operator without access to the node", "device missing (spidev unbound)", "end"]
    verdict.check(list(reports) == expected, "the guest ran every scenario to its end")
    if list(reports) != expected:
        sys.exit(1)

    read_back = value(reports[expected[0]], "read back: ") or "nothing read back"
    print(f"board: info  {read_back} (SpiDev, from the driver)")
    for line in reports["end"]:
        print("board: info  " + line)
        divider = re.search(r"fin: (\d+), fspi: (\d+), post: (\d+), pre: (\d+)", line)
        if divider:
            fin, fspi, post, pre = map(int, divider.groups())
            print(f"board: info  the controller divides {fin} Hz by {(pre + 1) << post}: "
                  f"{fin / ((pre + 1) << post):.0f} Hz on the wire for {fspi} Hz asked")
    odd = [i for i, (_, data) in enumerate(periods) if len(data) != 3]
    verdict.check(not odd, f"all {len(periods)} chip-select periods hold 3 bytes"
                  + (f" (not period {odd[0]})" if odd else ""))
    first = check_operator(verdict, "root", reports[expected[0]], periods, 0, frames)
    first += check_operator(verdict, "at 360/s", reports[expected[1]], periods, first, frames, rate=360)
    first += check_operator(verdict, "group spi", reports[expected[2]], periods, first, frames)
    first += check_play(verdict, "headless, root", reports[expected[3]], periods, first, frames)
    first += check_play(verdict, "headless, group spi", reports[expected[4]], periods, first, frames)
    first += check_play(verdict, "headless, WFDB record", reports[expected[5]], periods, first,
                        record_frames(sample_values(sample_file)), rate=360)
    loop = record_frames(first_signal(record))
    sent = check_play(verdict, "sync line", reports[expected[6]], periods, first, loop)
    check_sync(verdict, "sync line", reports[expected[6]], sent, len(loop), beats(record[:-len(".hea")] + ".atr"))
    first += sent
    first += check_play(verdict, "headless, unbound", reports[expected[7]], periods, first, frames, unbound=True)
    verdict.check(first == len(periods), f"no other frame on the bus ({len(periods) - first} more)")
    check_refused(verdict, "no access", reports[expected[8]])
    check_refused(verdict, "device missing", reports[expected[9]])
    print(f"board: {'PASS' if verdict.failures == 0 else 'FAIL'}; bus decoded in {bus_csv}")
    sys.exit(verdict.failures > 0)


main()
