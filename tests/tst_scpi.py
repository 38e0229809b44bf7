#!/usr/bin/python3
"""The SCPI interface of the headless mode, driven by Debian's PyVISA (pyvisa-py)
as a rig script drives an instrument; every command's effect is checked on the
frames that the virtual DAC receives.

usage: tst_scpi.py SIMULATOR VIRTUALDAC_LIBRARY
"""
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import time
import unittest

SUPPORT = os.path.join(os.path.dirname(__file__), "support")
sys.path.insert(0, SUPPORT)
from headless import WAIT_S, Headless, free_port, start, wait_for  # noqa: E402

SIMULATOR, VIRTUALDAC = sys.argv[1:3]


def connectable(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def second_simulator(test, *options):
    """Another simulator, ended with the test, and its port."""
    other = Headless()
    test.addCleanup(other.stop)
    port = free_port()
    other.start(SIMULATOR, VIRTUALDAC, ["--play", other.file("one.csv", "1\n"), "--listen", str(port), *options],
                os.environ)
    wait_for(lambda: connectable(port), "the second simulator listens")
    return other, port


def answer(client, line):
    """The first line answering line, or why none came."""
    try:
        client.sendall(line)
        return client.makefile().readline()
    except OSError as error:
        return str(error)


class Scpi(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        import pyvisa
        cls.headless = Headless()
        cls.addClassCleanup(cls.headless.stop)
        cls.three = cls.headless.file("three.csv", "100\n200\n300\n")
        cls.two = cls.headless.file("two.csv", "7\n8\n")
        cls.port = free_port()
        cls.beat_log = os.path.join(cls.headless.dir.name, "beats.log")
        # A beat log asks for a record with beats at the start; sample files play after it.
        cls.record = os.path.join(os.path.dirname(__file__), "..", "samples", "mitdb_100_1min.hea")
        cls.headless.start(SIMULATOR, VIRTUALDAC, ["--play", cls.record, "--listen", str(cls.port),
                                                   "--remote-files", f"{cls.headless.dir.name}:{os.path.dirname(cls.record)}",
                                                   "--beat-log", cls.beat_log], os.environ)
        cls.manager = pyvisa.ResourceManager("@py")
        wait_for(lambda: connectable(cls.port), "the simulator listens")
        cls.rig = cls.manager.open_resource(f"TCPIP::127.0.0.1::{cls.port}::SOCKET", read_termination="\n",
                                            write_termination="\n", timeout=WAIT_S * 1000)

    @classmethod
    def tearDownClass(cls):
        cls.rig.close()

    def setUp(self):
        self.rig.write("*RST;*CLS;:OUTP ON")
        self.rig.write(f'SOUR:FILE "{self.three}"')
        self.assertEqual(self.rig.query("SYST:ERR?"), '0,"No error"')

    def error(self, command):
        """The first error that command queues, and the queue emptied."""
        self.rig.write(command)
        return self.rig.query("SYST:ERR:ALL?").split(",")[0]

    def test_identity(self):
        for query, answer in (("*IDN?", "ECG simulator maintainers,ecg-simulator,0,"), ("*OPC?", "1"),
                              ("*TST?", "0"), ("syst:vers?", "1999.0")):
            self.assertTrue(self.rig.query(query).startswith(answer), query)

    def test_output_and_file(self):
        self.assertEqual(set(self.headless.codes_after(time.monotonic_ns(), 6)), {100, 200, 300})
        self.assertEqual(self.rig.query("OUTPut OFF;OUTP?"), "0")
        stopped = time.monotonic_ns()
        time.sleep(0.2)
        self.assertEqual(self.headless.codes_after(stopped, 0), [])
        # Chosen while off, it plays from its first sample at the next start.
        self.rig.write(f"SOURce:FILE '{self.two}';:OUTP1:STAT 1")
        self.assertEqual(self.rig.query("SOUR1:FILE?"), f'"{self.two}"')
        self.assertEqual(self.headless.codes_after(stopped, 4), [7, 8, 7, 8])

    def test_position_and_rate(self):
        self.assertEqual(self.rig.query("OUTP OFF;:SOUR:POS 2;RATE 100;POS?;RATE?"), "2;100")
        off = time.monotonic_ns()
        self.rig.write("OUTP ON")
        frames = self.headless.frames_after(off, 4)
        self.assertEqual([code for _, code in frames], [300, 100, 200, 300])
        # At 100 a second, frame k never before k times 10 ms after the switch-on.
        times = [time for time, _ in frames]
        self.assertTrue(all(t - off >= k * 10_000_000 for k, t in enumerate(times)), (off, times))
        self.assertEqual(self.rig.query("SOUR:RATE DEF;RATE?"), "0")

    def test_beats(self):
        """Record 100's first minute at 2000 samples/s: beat count, last beat and rate as logged."""
        self.assertEqual(self.rig.query("SOUR:BEAT:COUN?;RATE?;LAST?"), '0;9.91E37;9.91E37,-1,""')
        record = self.record
        self.rig.write(f'SOUR:FILE "{record}";RATE 2000')
        wait_for(lambda: int(self.rig.query("BEAT:COUN?")) >= 12, "twelve beats sent")
        count, rate, last = self.rig.query("OUTP OFF;:BEAT:COUN?;RATE?;LAST?").split(";")

        def logged():
            with open(self.beat_log) as log:
                return [line.split() for line in log if not line.startswith("#")]
        wait_for(lambda: len(logged()) == int(count), "every beat in the log")
        beats = logged()
        self.assertEqual(last, f'{beats[-1][1]},{beats[-1][3]},"{beats[-1][4]}"')
        at = [int(loop) * 21600 + int(sample) for _, _, loop, sample, _, _ in beats[-9:]]
        self.assertAlmostEqual(float(rate), 60 * 2000 * 8 / (at[-1] - at[0]), places=1)
        # The file put in place again: its beat facts start afresh, the last one too.
        self.rig.write(f'SOUR:FILE "{record}"')
        self.assertEqual(self.rig.query("BEAT:COUN?;LAST?;:OUTP?"), '0;9.91E37,-1,"";0')
        self.assertRegex(self.rig.query("OUTP:LATE?"), r"^\d+,\d+$")
        # The virtual DAC's node is no character device; a record's code goes out with its millivolts.
        self.assertRegex(self.rig.query("SYST:STAT?"),
                         r'^"/dev/spidev0\.0",0,"","[^"]*",\d+,\d+,\d+,-?\d+\.\d{3}$')
        self.assertEqual(self.rig.query("SYST:ERR?"), '0,"No error"')

    def test_detections(self):
        """The sync line echoed back as a monitor's detections: scored 100 % / 100 %, each on its beat."""
        self.assertEqual(self.error("SENS:DET:COUN?"), "-241")
        self.assertEqual(self.rig.query("SOUR:LIST?"), '0,0,""')
        self.assertEqual(self.error('SOUR:LIST "/etc"'), "-257")
        monitor = Headless()
        self.addCleanup(monitor.stop)
        port = free_port()
        environment = dict(os.environ, VIRTUALDAC_MONITOR="sync", VIRTUALDAC_MONITOR_LINE="6")
        monitor.start(SIMULATOR, VIRTUALDAC, ["--play", self.record, "--rate", "2000", "--listen", str(port),
                                              "--sync-gpio", "gpiochip0:5", "--detect-gpio", "gpiochip0:6",
                                              "--score-from", "0", "--detect-output", monitor.dir.name], environment)
        wait_for(lambda: connectable(port), "the scoring simulator listens")
        rig = self.manager.open_resource(f"TCPIP::127.0.0.1::{port}::SOCKET", read_termination="\n",
                                         write_termination="\n", timeout=WAIT_S * 1000)
        self.addCleanup(rig.close)
        wait_for(lambda: int(rig.query("SENS:DET:COUN?").split(",")[0]) >= 20, "twenty detections placed")
        se, ppv, tp, fn, fp = rig.query("SENS:DET:SCOR?").split(",")
        self.assertEqual((se, ppv, fn, fp), ("100.000", "100.000", "0", "0"))
        self.assertGreaterEqual(int(tp), 15)
        self.assertEqual(rig.query("SENS:DET:DEL?"), "0.0,0.0,0.0")

    def test_numbers(self):
        self.rig.write("OUTP OFF")
        for command, query, answer in (
                ("RATE 0.001", "RATE?", "0.001"), ("RATE 2000", "RATE?", "2000"), ("RATE MIN", "RATE?", "0.001"),
                ("SOUR1:RATE maximum", "RATE?", "2000"), ("RATE 0.36 kHz", "RATE?", "360"),
                ("RATE 250HZ", "RATE?", "250"),
                ("", "RATE? MAX", "2000"), ("", "RATE? min", "0.001"), ("", "RATE? DEF", "0"),
                ("FSC 500 UV", "FSC?", "0.5"), ("FSC 2 mv", "FSC?", "2"), ("FSC 0.1V", "FSC?", "100"),
                ("FSC MAX", "FSC?", "100000"), ("FSC DEF", "FSC?", "10"), ("", "FSC? MIN", "0.001"),
                ("POS MAX", "POS?", "2"), ("POS DEF", "POS?", "0"), ("", "POS? MAX", "2")):
            with self.subTest(command=command, query=query):
                self.rig.write(command)
                self.assertEqual(self.rig.query(query), answer)
        self.assertEqual(self.rig.query("SYST:ERR:COUN?"), "0")
        for command, code in (("RATE 0.000999", "-222"), ("RATE 2000.001", "-222"), ("RATE 2.1 KHZ", "-222"),
                              ("RATE 1e-10", "-222"), ("RATE 5 MHZ", "-131"), ("FSC 5 A", "-131"),
                              ("FSC 0", "-222"), ("RATE fast", "-224"), ("RATE? 5", "-224"), ("POS 1.5", "-224"),
                              ("POS 3", "-222"), ("RATE", "-109")):
            with self.subTest(command=command):
                self.assertEqual(self.error(command), code)
        self.assertEqual(self.rig.query("RATE?;FSC?;POS?"), "250;10;0")

    def test_errors(self):
        fifo = os.path.join(self.headless.dir.name, "fifo")
        os.mkfifo(fifo)
        empty = self.headless.file("empty.csv", "")
        for command, code in (("FOO", "-113"), ("SYST:RATE 5", "-113"), ("*RST?", "-113"), ("*ESR 1", "-113"),
                              ("OUTP MAYBE", "-224"), ("OUTP", "-109"), ("*IDN? x", "-108"), ("*CLS 1", "-108"),
                              # Whatever is not a readable file answers alike; a refused content differs.
                              (f'SOUR:FILE "{self.headless.dir.name}/none.csv"', "-256"),
                              (f'SOUR:FILE "{self.headless.dir.name}"', "-256"), (f'SOUR:FILE "{fifo}"', "-256"),
                              # Outside the folders of --remote-files:
                              # device nodes, the DAC's own among them, are never opened.
                              ('SOUR:FILE "/dev/null"', "-257"), ('SOUR:FILE "/dev/spidev0.0"', "-257"),
                              (f'SOUR:FILE "{empty}"', "-200")):
            with self.subTest(command=command):
                self.assertEqual(self.error(command), code)
        self.assertEqual(self.rig.query("SYST:ERR?"), '0,"No error"')
        for _ in range(20):
            self.rig.write("FOO")
        # *RST keeps the queue.
        self.rig.write("*RST")
        self.assertEqual(self.rig.query("SYST:ERR:COUNt?"), "16")
        queued = [self.rig.query("SYST:ERR:NEXT?") for _ in range(17)]
        self.assertEqual(queued[14], '-113,"Undefined header"')
        self.assertEqual(queued[15], '-350,"Queue overflow"')
        self.assertEqual(queued[16], '0,"No error"')

    def test_ascii(self):
        """The program's French messages reach a client that decodes ASCII, PyVISA's default."""
        header = self.headless.file("rec.hea", "rec 1 360 2\nrec.dat 16 200 16 0 0 0 0 MLII\n")
        with open(os.path.join(self.headless.dir.name, "rec.dat"), "wb") as samples:
            samples.write(bytes(4))
        self.rig.write(f'SOUR:FILE "{header}";SIGN "V9"')
        self.assertTrue(self.rig.query("SYST:ERR?").startswith(
            '-224,"Illegal parameter value;Aucun signal "" V9 "" dans ce fichier. Ses signaux : 1: MLII'))

    def test_status(self):
        """IEEE 488.2's registers: each error class sets its event, the status byte sums them up."""
        overrun = "SOUR:FILE " + "x" * 5000
        for command, event in (("FOO", 32), ("RATE 5000", 16), (overrun, 8), ("*OPC", 1)):
            with self.subTest(command=command[:20]):
                self.rig.write("*CLS")
                self.rig.write(command)
                self.assertEqual(self.rig.query("*ESR?;*ESR?"), f"{event};0")
        self.rig.write("*CLS;*ESE 36;*SRE 0")
        self.assertEqual(self.rig.query("*STB?;*ESE?;*SRE?"), "0;36;0")
        self.rig.write("FOO")
        for enable, status in (("*SRE 0", 4 + 32), ("*SRE 32", 4 + 32 + 64), ("*SRE 16", 4 + 32), ("*ESE 0", 4)):
            with self.subTest(enable=enable):
                self.rig.write(enable)
                self.assertEqual(self.rig.query("*STB?"), str(status))
        self.assertEqual(self.rig.query("*OPC?;*STB?"), "1;84")
        self.rig.write("RATE 5000")
        self.assertEqual(self.rig.query("SYST:ERR:ALL?"), '-113,"Undefined header",-222,"Data out of range"')
        self.rig.write("FOO;*CLS")
        self.assertEqual(self.rig.query("*STB?;*ESR?;SYST:ERR:COUN?"), "0;0;0")

    def test_robust(self):
        random.seed(5025)
        for _ in range(50):
            with socket.create_connection(("127.0.0.1", self.port)) as dropped:
                dropped.sendall(bytes(random.randrange(256) for _ in range(random.randrange(1, 200))))
        # Their errors are their own.
        self.assertEqual(self.rig.query("SYST:ERR?"), '0,"No error"')

        # The server frees the dropped clients' places as it notices them.
        def long_line_answered():
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=WAIT_S) as long_line:
                    long_line.sendall(b"SOUR:FILE " + b"x" * 1_000_000 + b"\n*OPC?\nSYST:ERR?\n")
                    answers = long_line.makefile()
                    return answers.readline() == "1\n" and answers.readline().startswith("-363,")
            except OSError:
                return False
        wait_for(long_line_answered, "a 1 MB line dropped, and the next answered")
        # The rig and seven more at most; the ninth closed cleanly, not reset.
        others = [socket.create_connection(("127.0.0.1", self.port)) for _ in range(8)]
        others[-1].settimeout(WAIT_S)
        self.assertEqual(others[-1].recv(1), b"")
        for other in others:
            other.close()
        self.assertEqual(self.rig.query("*OPC?"), "1")
        self.assertEqual(set(self.headless.codes_after(time.monotonic_ns(), 6)), {100, 200, 300})

    def test_client_not_reading(self):
        """A client that never reads its answers is held back: memory stays flat."""
        def resident_kb():
            with open(f"/proc/{self.headless.program.pid}/status") as status:
                return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))
        # A 2.8 KB name: a few cheap FILE? queries ask for megabytes.
        deep = os.path.join(self.headless.dir.name, *["d" * 200] * 14)
        os.makedirs(deep)
        long_named = self.headless.file(os.path.join(deep, "f.csv"), "1\n")
        self.assertEqual(self.rig.query(f'SOUR:FILE "{long_named}";*OPC?'), "1")
        before = resident_kb()
        # 100 lines asking for 280 KB each: 28 MB, were they all answered at once.
        lines = 100
        line = (b"FILE?;" * 100)[:-1] + b"\n"
        with socket.create_connection(("127.0.0.1", self.port), timeout=WAIT_S) as greedy:
            greedy.sendall(line * lines)
            self.assertEqual(self.rig.query("*OPC?"), "1")
            grown = resident_kb() - before
            # Once it reads, every line it sent is answered.
            answered = 0
            while answered < lines:
                answers = greedy.recv(1 << 20)
                self.assertTrue(answers, f"{answered} lines of {lines} answered")
                answered += answers.count(b"\n")
        self.assertLess(grown, 10_000)
        # One line whose answers pass 1 MB: the client is closed.
        with socket.create_connection(("127.0.0.1", self.port), timeout=WAIT_S) as greedy:
            greedy.sendall((b"FILE?;" * 680)[:-1] + b"\n")
            try:
                while greedy.recv(1 << 20):
                    pass
            except ConnectionResetError:
                pass

    def test_idle_clients_closed(self):
        """Eight silent clients are closed after --scpi-idle, and a ninth gets in."""
        _, port = second_simulator(self, "--scpi-idle", "1")
        start = time.monotonic()
        silent = [socket.create_connection(("127.0.0.1", port), timeout=WAIT_S) for _ in range(8)]
        for client in silent:
            self.assertEqual(client.recv(1), b"")
            client.close()
        self.assertGreaterEqual(time.monotonic() - start, 0.9)
        with socket.create_connection(("127.0.0.1", port), timeout=WAIT_S) as late:
            late.sendall(b"*OPC?\n")
            self.assertEqual(late.makefile().readline(), "1\n")

    def test_closed_clients_not_counted(self):
        """Clients that close leave their place at once, even one whose file is still read."""
        closing, port = second_simulator(self)
        # Read for a third of a second or so, long after its client closed.
        slow = closing.file("slow.csv", "1\n" * 3_000_000)
        # Its line, then more than the server takes in ahead, so that the end of
        # the stream comes while it is read (the pause lets the read start).
        held = f'SOUR:FILE "{slow}"\n'.encode() + b"*OPC?\n" * 3000
        for line, times, pause_s in ((b"*IDN?\n", 60, 0), (held, 1, 0.2)):
            with self.subTest(line=line[:20]):
                for _ in range(times):
                    with socket.create_connection(("127.0.0.1", port)) as brief:
                        brief.sendall(line)
                time.sleep(pause_s)
                stay = [socket.create_connection(("127.0.0.1", port), timeout=WAIT_S) for _ in range(8)]
                self.assertEqual([answer(client, b"*OPC?\n") for client in stay], ["1\n"] * 8)
                for client in stay:
                    client.close()
        # The read ends with its client gone, and the program goes on.
        with socket.create_connection(("127.0.0.1", port), timeout=WAIT_S) as rig:
            wait_for(lambda: answer(rig, b"FILE?\n") == f'"{slow}"\n', "the file read")
            self.assertEqual(answer(rig, b"*OPC?\n"), "1\n")


def ended(pid):
    """True once the process is gone, or a zombie that its new parent has yet to reap."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


class EndsWithItsTest(unittest.TestCase):
    """The program a test starts ends with the test, however the test ends."""

    TEST = """import os, sys, time
sys.path.insert(0, sys.argv[1])
from headless import Headless
headless = Headless()
headless.start(sys.argv[2], sys.argv[3], ["--play", headless.file("one.csv", "1\\n")], os.environ)
print(headless.program.pid, headless.dir.name, flush=True)
time.sleep(60)
"""

    def test_program_ends_with_its_test(self):
        # Killed, the test cannot remove its folder.
        for stop_signal, folder_removed in ((signal.SIGKILL, False), (signal.SIGTERM, True), (signal.SIGINT, True)):
            with self.subTest(signal=stop_signal.name), \
                    start([sys.executable, "-c", self.TEST, SUPPORT, SIMULATOR, VIRTUALDAC], stdout=subprocess.PIPE,
                          text=True) as test:
                pid, folder = test.stdout.readline().split()
                program = int(pid)
                # Should the test fail, neither stays: nor the test's root.
                self.addCleanup(shutil.rmtree, os.path.dirname(folder), ignore_errors=True)
                self.addCleanup(lambda program=program: ended(program) or os.kill(program, signal.SIGKILL))
                wait_for(lambda: os.path.exists(os.path.join(folder, "capture.csv")), "the program plays")
                test.send_signal(stop_signal)
                test.wait(WAIT_S)
                wait_for(lambda: ended(program), "the program ends", within_s=1)
                self.assertEqual(not os.path.exists(folder), folder_removed)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
