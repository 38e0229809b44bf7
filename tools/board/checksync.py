"""The sync pulse of a record's beats on the emulated board (tools/board.sh).

The guest's kernel traces every SPI message done on the DAC and every level
set on the sync line, in one ring buffer, in the order they happened; the
guest reports each set with the number of frames sent before it. Here each
rising set must come right after the frame of a beat of the record's
annotations (read from the .atr file, independently of the program), once,
in order, and nowhere else.
"""
import statistics

# MIT annotation codes that mark a beat, with their labels.
BEAT_LABELS = {1: "N", 2: "L", 3: "R", 4: "a", 5: "V", 6: "F", 7: "J", 8: "A", 9: "S", 10: "E", 11: "j",
               12: "/", 13: "Q", 25: "B", 30: "?", 34: "e", 35: "n", 38: "f", 41: "r"}
SKIP, NUM, SUB, CHN, AUX = 59, 60, 61, 62, 63


def beats(path):
    """(sample, label) of each beat in an MIT-format annotation file."""
    data = open(path, "rb").read()
    found = []
    sample = 0
    i = 0
    while i + 2 <= len(data):
        word = data[i] | data[i + 1] << 8
        code, field = word >> 10, word & 0x3FF
        i += 2
        if word == 0:
            break
        if code == SKIP:
            interval = data[i + 2] | data[i + 3] << 8 | data[i] << 16 | data[i + 1] << 24
            sample += interval - (1 << 32 if interval >= 1 << 31 else 0)
            i += 4
        elif code == AUX:
            i += field + (field & 1)
        elif code not in (NUM, SUB, CHN):
            sample += field
            if code in BEAT_LABELS:
                found.append((sample, BEAT_LABELS[code]))
    return found


def percentiles(values):
    ordered = sorted(values)
    return statistics.median(ordered), ordered[int(0.99 * (len(ordered) - 1))], ordered[-1]


def check_sync(verdict, name, lines, sent, loop_length, record_beats):
    """The sync line's sets in one run of `sent` frames (as the kernel counted
    them), a loop being loop_length frames."""
    sets = [line.split()[1:] for line in lines if line.startswith("sync ")]
    sets = [(int(frames), int(level), float(at), float(frame_at)) for frames, level, at, frame_at in sets]
    traced = next((int(line.split(": ")[1]) for line in lines if line.startswith("traced frames: ")), -1)
    verdict.check(traced == sent and sent >= loop_length,
                  f"{name}: {traced} frames traced in the guest, the {sent} the kernel counted, a whole loop")
    by_frame = {sample: label for sample, label in record_beats}
    # A beat's pulse follows its frame: the frame of sample s in loop k is the (k * loop_length + s + 1)th.
    expected = [frames for frames in range(1, sent + 1) if (frames - 1) % loop_length in by_frame]
    rising = [frames for frames, level, _, _ in sets if level == 1]
    if expected and expected[-1] == sent and rising == expected[:-1]:
        expected = expected[:-1]  # stopped between the last frame and its pulse
    first_wrong = next((i for i, (a, b) in enumerate(zip(rising, expected)) if a != b),
                       min(len(rising), len(expected)))
    wrong = ""
    if rising != expected:
        def where(frames):
            return f"frame {frames} (loop {(frames - 1) // loop_length}, sample {(frames - 1) % loop_length})"
        wrong = (f" (pulse {first_wrong}: " + (f"after {where(rising[first_wrong])}" if first_wrong < len(rising)
                                               else "none") + ", beat expected: "
                 + (where(expected[first_wrong]) if first_wrong < len(expected) else "none") + ")")
    first_loop = sum(1 for frames in expected if frames <= loop_length)
    verdict.check(rising == expected and first_loop == len(record_beats),
                  f"{name}: {len(rising)} pulses, one right after the frame of each beat, in order, none elsewhere "
                  f"({first_loop} beats in the first loop, {len(expected) - first_loop} after it){wrong}")
    # Each pulse belongs to its frame: the next set on the line is a low one, before the next frame.
    unended = [frames for i, (frames, level, _, _) in enumerate(sets) if level == 1
               and (i + 1 == len(sets) or sets[i + 1][:2] != (frames, 0))]
    verdict.check(not unended and all(level in (0, 1) for _, level, _, _ in sets),
                  f"{name}: each pulse ended by a low set before the next frame ({len(sets)} sets)"
                  + (f" (not the one after frame {unended[0]})" if unended else ""))
    delays = [(at - frame_at) * 1e6 for _, level, at, frame_at in sets if level == 1]
    widths = [(b[2] - a[2]) * 1e6 for a, b in zip(sets, sets[1:]) if a[1] == 1 and b[1] == 0]
    if delays:
        median, p99, most = percentiles(delays)
        print(f"board: info  {name}: rising edge after its frame's SPI message: median {median:.0f} µs, "
              f"p99 {p99:.0f} µs, max {most:.0f} µs (guest's kernel trace)")
    if widths:
        median, p99, most = percentiles(widths)
        print(f"board: info  {name}: pulse width median {median:.0f} µs, p99 {p99:.0f} µs, max {most:.0f} µs")
    held = next((line for line in lines if line.startswith("line held: ")), "")
    verdict.check("ecg-simulator" in held and " out " in held,
                  f"{name}: the line held as an output by the program, read back through gpio-mxc: "
                  f"{held[len('line held: '):].strip() or 'not listed'}")
    # The beat log's lines, as (loop, sample, label) and their monotonic time.
    entries, times = [], []
    for line in lines:
        fields = line.split()[1:]
        if not line.startswith("beat-log ") or fields[:1] and fields[0].startswith("#"):
            continue
        try:
            entries.append((int(fields[2]), int(fields[3]), fields[4]))
            times.append(float(fields[0]))
        except (IndexError, ValueError):
            entries.append(tuple(fields))
    edges = [at for _, level, at, _ in sets if level == 1]
    pulsed = [((frames - 1) // loop_length, (frames - 1) % loop_length, by_frame.get((frames - 1) % loop_length))
              for frames in rising]
    # Both clocks are CLOCK_MONOTONIC: a line's time is its beat's, give or take the emulation's hiccups.
    offsets = [logged - edge for logged, edge in zip(times, edges)]
    verdict.check(len(entries) >= first_loop and entries == pulsed[:len(entries)]
                  and all(abs(offset) < 1 for offset in offsets),
                  f"{name}: the beat log lists the beats pulsed, loop, sample and label, in order, each at its "
                  f"pulse's monotonic time within 1 s ({len(entries)} lines)")
    if offsets:
        median, _, _ = percentiles([abs(offset) * 1e6 for offset in offsets])
        print(f"board: info  {name}: beat log's monotonic time from its pulse: median {median:.0f} µs")
