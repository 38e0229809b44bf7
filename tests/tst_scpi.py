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


class Scpi(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        import pyvisa
        cls.headless = Headless()
        cls.addClassCleanup(cls.headless.stop)
        cls.three = cls.headless.file("three.csv", "100\n200\n300\n")
        cls.two = cls.headless.file("two.csv", "7\n8\n")
        cls.port = free_port()
        cls.headless.start(SIMULATOR, VIRTUALDAC, ["--play", cls.three, "--listen", str(cls.port)], os.environ)
        cls.manager = pyvisa.ResourceManager("@py")
        wait_for(cls.connectable, "the simulator listens")
        cls.rig = cls.manager.open_resource(f"TCPIP::127.0.0.1::{cls.port}::SOCKET", read_termination="\n",
                                            write_termination="\n", timeout=WAIT_S * 1000)

    @classmethod
    def tearDownClass(cls):
        cls.rig.close()

    @classmethod
    def connectable(cls):
        try:
            socket.create_connection(("127.0.0.1", cls.port), timeout=1).close()
            return True
        except OSError:
            return False

    def setUp(self):
        self.rig.write("*RST;*CLS;:OUTP ON")
        self.rig.write(f'SOUR:FILE "{self.three}"')
        self.assertEqual(self.rig.query("SYST:ERR?"), '0,"No error"')

    def test_identity(self):
        self.assertTrue(self.rig.query("*IDN?").startswith("ECG simulator maintainers,ecg-simulator,"))
        self.assertEqual(self.rig.query("*OPC?"), "1")
        self.assertEqual(self.rig.query("syst:vers?"), "1999.0")

    def test_output_and_file(self):
        self.assertEqual(set(self.headless.codes_after(time.monotonic_ns(), 6)), {100, 200, 300})
        self.assertEqual(self.rig.query("OUTPut OFF;OUTP?"), "0")
        stopped = time.monotonic_ns()
        time.sleep(0.2)
        self.assertEqual(self.headless.codes_after(stopped, 0), [])
        # Chosen while off, it plays from its first sample at the next start.
        self.rig.write(f"SOURce:FILE '{self.two}';:OUTP 1")
        self.assertEqual(self.rig.query("SOUR:FILE?"), f'"{self.two}"')
        self.assertEqual(self.headless.codes_after(stopped, 4), [7, 8, 7, 8])

    def test_position_and_rate(self):
        self.assertEqual(self.rig.query("OUTP OFF;:SOUR:POS 2;RATE 100;POS?;RATE?"), "2;100")
        off = time.monotonic_ns()
        self.rig.write("OUTP ON")
        frames = self.headless.frames_after(off, 4)
        self.assertEqual([code for _, code in frames], [300, 100, 200, 300])
        # A lower bound holds on any machine: 100 a second, 10 ms apart.
        times = [time for time, _ in frames]
        self.assertTrue(all(b - a >= 9_000_000 for a, b in zip(times, times[1:])), times)
        self.assertEqual(self.rig.query("SOUR:RATE DEF;RATE?"), "0")

    def test_errors(self):
        for command, code in (("FOO", -113), ("SOUR:RATE 5000", -222), ("SOUR:RATE fast", -224),
                              ("OUTP MAYBE", -224), ("SOUR:POS 3", -222), ("OUTP", -109), ("*IDN? x", -108),
                              (f'SOUR:FILE "{self.headless.dir.name}/none.csv"', -256)):
            self.rig.write(command)
            self.assertTrue(self.rig.query("SYST:ERR?").startswith(f"{code},"), command)
        self.assertEqual(self.rig.query("SYST:ERR?"), '0,"No error"')
        for _ in range(20):
            self.rig.write("FOO")
        queued = [self.rig.query("SYST:ERR?") for _ in range(17)]
        self.assertEqual(queued[14], '-113,"Undefined header"')
        self.assertEqual(queued[15], '-350,"Queue overflow"')
        self.assertEqual(queued[16], '0,"No error"')

    def test_robust(self):
        random.seed(5025)
        for _ in range(50):
            with socket.create_connection(("127.0.0.1", self.port)) as dropped:
                dropped.sendall(bytes(random.randrange(256) for _ in range(random.randrange(1, 200))))
        # Once every dropped client's bytes are read, nothing more is queued.
        def quiet():
            self.rig.write("*CLS")
            time.sleep(0.1)
            return self.rig.query("SYST:ERR?") == '0,"No error"'
        wait_for(quiet, "the dropped clients' bytes read")

        # The server frees the dropped clients' places as it notices them.
        def long_line_answered():
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=WAIT_S) as long_line:
                    long_line.sendall(b"SOUR:FILE " + b"x" * 1_000_000 + b"\n*OPC?\n")
                    return long_line.makefile().readline() == "1\n"
            except OSError:
                return False
        wait_for(long_line_answered, "a 1 MB line dropped, and the next answered")
        self.assertTrue(self.rig.query("SYST:ERR?").startswith("-363,"))
        # Eight clients at most: the rig and seven more; the ninth is closed.
        others = [socket.create_connection(("127.0.0.1", self.port)) for _ in range(8)]
        others[-1].settimeout(WAIT_S)
        self.assertEqual(others[-1].recv(1), b"")
        for other in others:
            other.close()
        self.assertEqual(self.rig.query("*OPC?"), "1")
        self.assertEqual(set(self.headless.codes_after(time.monotonic_ns(), 6)), {100, 200, 300})


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
                # Should the test fail, neither stays.
                self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
                self.addCleanup(lambda program=program: ended(program) or os.kill(program, signal.SIGKILL))
                wait_for(lambda: os.path.exists(os.path.join(folder, "capture.csv")), "the program plays")
                test.send_signal(stop_signal)
                test.wait(WAIT_S)
                wait_for(lambda: ended(program), "the program ends", within_s=1)
                self.assertEqual(not os.path.exists(folder), folder_removed)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
