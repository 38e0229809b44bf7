#!/usr/bin/env bash
# The project's ARM build on a real Linux kernel, through the kernel's own spidev
# and i.MX SPI controller drivers, on an emulated i.MX6 board (QEMU's sabrelite),
# with every byte on the bus checked from outside against the sample file.
#   tools/board.sh [SAMPLE_FILE]     default: the recorded ECG of samples/
# Leaves in build-board/: bus.csv (the decoded bus, one chip-select period a
# line), console.log (what the guest printed) and trace.log (QEMU's bus trace).
set -euo pipefail
sample=$(realpath "${1:-$(dirname "$0")/../samples/mitbih-208-10s.csv}")
cd "$(dirname "$0")/.."
work=$PWD/build-board
seconds=5          # each of the operator's two runs
qemu_limit=240     # seconds before QEMU is killed, whatever the guest does
# The sync pulse's record, played at twice its rate: its minute lasts 30 s, a
# few more when a busy host slows the emulated board (traced, it reached about
# 1100 frames/s); a late frame is sent late, never skipped, so no beat is lost.
record=samples/mitdb_100_1min
sync_rate=720
loop_frames=$(awk 'NR == 1 {print $4}' "$record.hea")

tools/deps.sh build armhf board
mkdir -p "$work/debs"

# The guest's programs: the project cross-built for armhf (as the tests build it).
cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake -DECG_BUILD_TESTS=ON >/dev/null
cmake --build build-armhf --target boarddriver ecg-simulator -j"$(nproc)" >/dev/null

# Debian's armmp kernel and a static busybox, fetched once and unpacked, not installed.
kernel_package=$(apt-cache depends linux-image-armmp:armhf | awk '/Depends: linux-image-/ {print $2; exit}')
release=${kernel_package#linux-image-}
release=${release%:armhf}
if [ ! -d "$work/kernel/boot" ] || [ ! -f "$work/kernel/boot/vmlinuz-$release" ]; then
    [ "$(id -u)" -ne 0 ] || chown _apt "$work/debs"
    (cd "$work/debs" && apt-get download -q "$kernel_package" busybox-static:armhf)
    rm -rf "$work/kernel" "$work/busybox"
    dpkg-deb -x "$work"/debs/linux-image-"$release"_*.deb "$work/kernel"
    dpkg-deb -x "$work"/debs/busybox-static_*.deb "$work/busybox"
fi
modules=$work/kernel/lib/modules/$release/kernel/drivers

# The board's device tree, edited: on ECSPI1's chip select 0, a spidev node in
# place of the flash; the Cortex-A9 local timer fed from a 100 MHz clock, the
# rate at which QEMU counts it (else every sleep lasts 3.96 times too long).
dtb=$work/board.dtb
spi=/soc/bus@2000000/spba-bus@2000000/spi@2008000
cp "$work/kernel/usr/lib/linux-image-$release/imx6q-sabrelite.dtb" "$dtb"
fdtput -r "$dtb" "$spi/flash@0"
fdtput -c "$dtb" "$spi/dac@0"
fdtput -t s "$dtb" "$spi/dac@0" compatible rohm,dh2228fv
fdtput -t u "$dtb" "$spi/dac@0" reg 0
fdtput -t u "$dtb" "$spi/dac@0" spi-max-frequency 1000000
fdtput -c "$dtb" /clocks/twd-100mhz
fdtput -t s "$dtb" /clocks/twd-100mhz compatible fixed-clock
fdtput -t u "$dtb" /clocks/twd-100mhz "#clock-cells" 0
fdtput -t u "$dtb" /clocks/twd-100mhz clock-frequency 100000000
fdtput -t u "$dtb" /clocks/twd-100mhz phandle 65000
fdtput -t u "$dtb" /soc/timer@a00600 clocks 65000

# The initramfs: busybox, the three modules, the driver program with every
# library the armhf loader resolves for it and for Qt's offscreen platform.
root=$work/root
rm -rf "$root"
mkdir -p "$root"/{bin,board,dev,etc,lib/modules,proc,sys,tmp}
cp "$work/busybox/bin/busybox" "$root/bin/"
cp "$modules/watchdog/imx2_wdt.ko" "$modules/gpio/gpio-mxc.ko" "$modules/spi/spi-imx.ko" "$root/lib/modules/"
cp build-armhf/tools/board/boarddriver build-armhf/app/ecg-simulator "$root/board/"
cp "$sample" "$root/board/samples.csv"
cp "$record".{hea,dat,atr} "$root/board/"
# The same recording as a WFDB record, format 212, at 360 samples/s, its values
# 200 ADC units per mV about 1024 (as MIT-BIH's).
python3 - "$sample" "$root/board" <<'PYTHON'
import sys
values = [int(line) for line in open(sys.argv[1]) if line.strip()]
open(sys.argv[2] + "/record.hea", "w").write(
    f"record 1 360 {len(values)}\nrecord.dat 212 200(1024)/mV 11 1024 0 0 0 MLII\n")
data = bytearray()
for i in range(0, len(values), 2):
    first, second = values[i] & 0xFFF, (values[i + 1] & 0xFFF) if i + 1 < len(values) else 0
    data += bytes([first & 0xFF, (first >> 8) | (second >> 8) << 4] + ([second & 0xFF] if i + 1 < len(values) else []))
open(sys.argv[2] + "/record.dat", "wb").write(data)
PYTHON
plugin=/usr/lib/arm-linux-gnueabihf/qt5/plugins/platforms/libqoffscreen.so
for program in build-armhf/tools/board/boarddriver build-armhf/app/ecg-simulator "$plugin"; do
    qemu-arm /lib/ld-linux-armhf.so.3 --list "$program" | awk '/=> \// {print $3}'
done | sort -u | while read -r library; do cp -L --parents "$library" "$root"; done
cp -L --parents /lib/ld-linux-armhf.so.3 "$plugin" "$root"
printf 'root:x:0:0:root:/tmp:/bin/sh\noperator:x:1000:1000:operator:/tmp:/bin/sh\n' >"$root/etc/passwd"
printf 'root:x:0:\nspi:x:999:operator\noperator:x:1000:\n' >"$root/etc/group"
cat >"$root/init" <<EOF
#!/bin/busybox sh
# The emulated board's first process: loads the SPI controller's drivers and
# runs the simulator in each scenario below; the host checks what they report.
/bin/busybox --install -s /bin
export PATH=/bin QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=/tmp
mount -t proc proc /proc; mount -t sysfs sys /sys; mount -t devtmpfs dev /dev; mount -t tmpfs tmp /tmp
mount -t tracefs tracefs /sys/kernel/tracing; mount -t debugfs debugfs /sys/kernel/debug
insmod /lib/modules/imx2_wdt.ko        # this board restarts through its watchdog
insmod /lib/modules/gpio-mxc.ko        # the chip select is a GPIO
insmod /lib/modules/spi-imx.ko dyndbg=+p
for i in \$(seq 100); do [ -e /dev/spidev0.0 ] && break; sleep 0.1; done
echo "BOARD scenario: operator, as root"
/board/boarddriver operate /board/samples.csv $seconds
echo "BOARD scenario: operator at 360 samples/s, as root"
/board/boarddriver operate /board/samples.csv $seconds 360
echo "BOARD scenario: operator of group spi, real-time priority up to 20"
chgrp spi /dev/spidev0.0; chmod 0660 /dev/spidev0.0
(ulimit -r 20; su operator -c "/board/boarddriver operate /board/samples.csv 1")
# The headless mode as a service would run it: ended with SIGTERM after some
# seconds, or with spidev unbound from the node while it streams.
# With sync, SECONDS bounds the wait for the record's first loop.
play() { # USER SECONDS [unbind|record|sync]
    rm -f /tmp/play.log /tmp/beats.log
    input=/board/samples.csv
    [ "\${3:-}" = record ] && input=/board/record.hea
    [ "\${3:-}" = sync ] && input="/board/$(basename "$record").hea --rate $sync_rate --sync-gpio \$sync_line --beat-log /tmp/beats.log"
    before=\$(cat /sys/bus/spi/devices/spi0.0/statistics/messages)
    echo "BOARD messages before: \$before"
    if [ \$1 = root ]; then
        env -u QT_QPA_PLATFORM /board/ecg-simulator --play \$input 2>/tmp/play.log &
    else
        su \$1 -c "exec env -u QT_QPA_PLATFORM /board/ecg-simulator --play \$input 2>/tmp/play.log" &
    fi
    pid=\$!
    if [ "\${3:-}" = record ]; then
        # The pace over a stretch after a second of warm-up, in the guest's time.
        sleep 1
        m1=\$(cat /sys/bus/spi/devices/spi0.0/statistics/messages); u1=\$(cut -d' ' -f1 /proc/uptime)
        sleep \$((\$2 - 1))
        m2=\$(cat /sys/bus/spi/devices/spi0.0/statistics/messages); u2=\$(cut -d' ' -f1 /proc/uptime)
        echo "BOARD stretch of the run: \$((m2 - m1)) messages in \$(echo \$u2 \$u1 | awk '{print \$1 - \$2}') s"
    elif [ "\${3:-}" = sync ]; then
        # The whole first loop, then a second more for the beat log's flush.
        for i in \$(seq \$((\$2 * 10))); do
            kill -0 \$pid 2>/dev/null || break
            [ \$((\$(cat /sys/bus/spi/devices/spi0.0/statistics/messages) - before)) -ge $loop_frames ] && break
            sleep 0.1
        done
        sleep 1
        echo "BOARD line held: \$(grep "gpio-\$sync_gpio " /sys/kernel/debug/gpio)"
    else
        sleep \$2
    fi
    if [ "\${3:-}" = unbind ]; then
        echo spi0.0 >/sys/bus/spi/drivers/spidev/unbind
        sleep 1
        echo "BOARD answers after the unbind: \$(kill -0 \$pid && echo yes)"
    fi
    kill -TERM \$pid
    wait \$pid
    echo "BOARD exit status: \$?"
    echo "BOARD messages after: \$(cat /sys/bus/spi/devices/spi0.0/statistics/messages)"
    sed 's/^/BOARD log /' /tmp/play.log
    if [ "\${3:-}" = sync ]; then
        echo 0 >/sys/kernel/tracing/tracing_on
        # Each set of the line, with the frames done before it, its time and the last frame's.
        awk '{ for (i = 1; i < NF; i++) if (\$i ~ /^[0-9]+[.][0-9]+:\$/) break
               at = substr(\$i, 1, length(\$i) - 1) }
             \$(i + 1) == "spi_message_done:" && \$(i + 2) == "spi0.0" { frames++; frame_at = at }
             \$(i + 1) == "gpio_value:" && \$(i + 3) == "set" { print "BOARD sync", frames + 0, \$(i + 4), at, frame_at + 0 }
             END { print "BOARD traced frames: " frames + 0 }' /sys/kernel/tracing/trace
        sed 's/^/BOARD beat-log /' /tmp/beats.log
    fi
}
echo "BOARD scenario: headless, as root"
play root $seconds
echo "BOARD scenario: headless, as an operator of group spi"
(ulimit -r 20; play operator 2)
echo "BOARD scenario: headless, a WFDB record at its rate, as root"
play root $seconds record
# The sync pulse through the SoC's own GPIO driver (gpio-mxc): line 0 of the
# fifth bank, named by its label whatever chip number it gets. No node of the
# board's tree refers to that bank (the chip select is line 19 of the third),
# and the pad of its line 0 is in none of the tree's pin groups.
echo "BOARD scenario: headless, a record's beats on a sync line"
sync_line=20ac000.gpio:0
for chip in /sys/class/gpio/gpiochip*; do
    [ "\$(cat \$chip/label)" = "\${sync_line%:*}" ] && sync_gpio=\$((\$(cat \$chip/base) + \${sync_line#*:}))
done
# The kernel's trace shows the order: every level set on the line (gpiolib's
# gpio_value, where any consumer's set goes) and every SPI message done, in one
# ring buffer, with their times on CLOCK_MONOTONIC. Reading the line's level
# now and then would miss pulses shorter than the reads' period; the trace
# misses none, and the kernel's count of messages tells whether it kept all.
tracing=/sys/kernel/tracing
echo mono >\$tracing/trace_clock
echo 4096 >\$tracing/buffer_size_kb
echo "gpio == \$sync_gpio" >\$tracing/events/gpio/gpio_value/filter
echo 1 >\$tracing/events/gpio/gpio_value/enable
echo 1 >\$tracing/events/spi/spi_message_done/enable
echo >\$tracing/trace
play root 120 sync
echo "BOARD scenario: headless, spidev unbound while streaming"
play root 2 unbind
echo spi0.0 >/sys/bus/spi/drivers/spidev/bind
for i in \$(seq 100); do [ -e /dev/spidev0.0 ] && break; sleep 0.1; done
echo "BOARD scenario: operator without access to the node"
chmod 0600 /dev/spidev0.0
su operator -c "/board/boarddriver refused"
echo "BOARD scenario: device missing (spidev unbound)"
echo spi0.0 >/sys/bus/spi/drivers/spidev/unbind
/board/boarddriver refused
echo "BOARD scenario: end"
for line in spi_imx_setup ecspi_clkdiv; do dmesg | grep \$line | tail -1 | sed 's/^/BOARD kernel: /'; done
reboot -f
EOF
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet) >"$work/initrd.cpio"

# Boots it; the flash model on that chip select traces every select and byte.
rm -f "$work/trace.log"
qemu-system-arm -M sabrelite -smp 1 -m 1G -kernel "$work/kernel/boot/vmlinuz-$release" -dtb "$dtb" \
    -initrd "$work/initrd.cpio" -append "console=ttymxc1 rdinit=/init quiet" \
    -nographic -serial null -serial mon:stdio -no-reboot </dev/null >"$work/console.log" 2>&1 \
    -trace m25p80_select -trace m25p80_transfer -msg timestamp=on -D "$work/trace.log" &
qemu=$!
for _ in $(seq "$qemu_limit"); do
    kill -0 $qemu 2>/dev/null || break
    sleep 1
done
kill $qemu 2>/dev/null && echo "board.sh: QEMU stopped after $qemu_limit s" >&2
wait $qemu 2>/dev/null || true

python3 tools/board/checkbus.py "$work/trace.log" "$work/console.log" "$root/board/samples.csv" "$record.hea" \
    "$work/bus.csv"
