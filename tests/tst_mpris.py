#!/usr/bin/python3
"""The MPRIS interface of the headless mode on a private session bus, driven by
Debian's playerctl (and dbus-send for what playerctl does not set); every
command's effect is checked on the frames that the virtual DAC receives.

usage: tst_mpris.py SIMULATOR VIRTUALDAC_LIBRARY
"""
import os
import select
import socket
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "support"))
from headless import WAIT_S, Headless, free_port, session_bus, start, wait_for  # noqa: E402

SIMULATOR, VIRTUALDAC = sys.argv[1:3]
PLAYER = "ecg_simulator"


def next_line(stream):
    """The next line of a process's output stream, waiting WAIT_S at most."""
    line = b""
    while not line.endswith(b"\n"):
        if not select.select([stream], [], [], WAIT_S)[0]:
            raise AssertionError(f"no line within {WAIT_S} s, after {line!r}")
        byte = os.read(stream.fileno(), 1)
        if not byte:
            break
        line += byte
    return line.decode()


class Mpris(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.headless = Headless()
        cls.addClassCleanup(cls.headless.stop)
        cls.three = cls.headless.file("three.csv", "100\n200\n300\n")
        cls.two = cls.headless.file("two.csv", "7\n8\n")
        cls.bus, cls.environment = session_bus()
        cls.addClassCleanup(lambda: (cls.bus.terminate(), cls.bus.wait()))
        cls.port = free_port()
        cls.headless.start(SIMULATOR, VIRTUALDAC, ["--play", cls.three, "--rate", "50", "--listen", str(cls.port)],
                      cls.environment)
        wait_for(lambda: cls.playerctl("status").stdout == "Playing\n", "the player on the bus")

    @classmethod
    def playerctl(cls, *arguments):
        return subprocess.run(["playerctl", "-p", PLAYER, *arguments], env=cls.environment, capture_output=True,
                              text=True, timeout=WAIT_S)

    def dbus(self, method, *arguments):
        return subprocess.run(["dbus-send", "--session", "--print-reply", f"--dest=org.mpris.MediaPlayer2.{PLAYER}",
                               "/org/mpris/MediaPlayer2", method, *arguments], env=self.environment, check=True,
                              capture_output=True, text=True, timeout=WAIT_S)

    def property(self, interface, name):
        reply = self.dbus("org.freedesktop.DBus.Properties.Get", f"string:org.mpris.MediaPlayer2{interface}",
                          f"string:{name}")
        # "   variant       string "ECG Simulator"": the value after its type.
        return reply.stdout.strip().splitlines()[-1].split(None, 2)[2]

    def setUp(self):
        self.playerctl("open", "file://" + self.three)
        wait_for(lambda: self.playerctl("status").stdout == "Playing\n", "playing")

    def test_metadata(self):
        self.assertEqual(self.playerctl("metadata", "xesam:title").stdout, "three.csv\n")
        self.assertEqual(self.playerctl("metadata", "xesam:url").stdout, f"file://{self.three}\n")
        # Three samples at 50 a second.
        self.assertEqual(self.playerctl("metadata", "mpris:length").stdout, "60000\n")
        self.assertEqual(self.property("", "Identity"), '"ECG Simulator"')
        self.assertEqual(self.property("", "CanRaise"), "false")

    def test_pause_stop_play(self):
        self.assertEqual(self.playerctl("pause").returncode, 0)
        self.assertEqual(self.playerctl("status").stdout, "Paused\n")
        paused = time.monotonic_ns()
        time.sleep(0.2)
        self.assertEqual(self.headless.codes_after(paused, 0), [])
        self.playerctl("stop")
        self.assertEqual(self.playerctl("status").stdout, "Stopped\n")
        # The next play starts from the first sample.
        stopped = time.monotonic_ns()
        self.playerctl("play")
        self.assertEqual(self.headless.codes_after(stopped, 4), [100, 200, 300, 100])

    def test_open_and_refusal(self):
        # Paused first, so that no frame of the file before comes after.
        self.playerctl("pause")
        paused = time.monotonic_ns()
        self.assertEqual(self.playerctl("open", "file://" + self.two).returncode, 0)
        self.assertEqual(self.headless.codes_after(paused, 3), [7, 8, 7])
        self.assertEqual(self.playerctl("metadata", "xesam:title").stdout, "two.csv\n")
        refused = self.playerctl("open", f"file://{self.headless.dir.name}/none.csv")
        self.assertNotEqual(refused.returncode, 0)
        self.assertIn("Impossible d'ouvrir le fichier.", refused.stderr)

    def test_position_and_rate(self):
        self.playerctl("pause")
        self.playerctl("position", "0.04")  # sample 2 at 50 a second
        self.assertEqual(self.playerctl("position").stdout, "0.040000\n")
        paused = time.monotonic_ns()
        self.playerctl("play")
        self.assertEqual(self.headless.codes_after(paused, 2), [300, 100])
        self.assertEqual(self.property(".Player", "MaximumRate"), "40")
        self.dbus("org.freedesktop.DBus.Properties.Set", "string:org.mpris.MediaPlayer2.Player", "string:Rate",
                  "variant:double:2")
        self.assertEqual(self.property(".Player", "Rate"), "2")
        with socket.create_connection(("127.0.0.1", self.port), timeout=WAIT_S) as rig:
            rig.sendall(b"SOUR:RATE?\n")
            self.assertEqual(rig.makefile().readline(), "100\n")

    def test_changes_told_whatever_their_cause(self):
        follower = start(["playerctl", "-p", PLAYER, "--follow", "status"], env=self.environment,
                         stdout=subprocess.PIPE, bufsize=0)
        try:
            self.assertEqual(next_line(follower.stdout), "Playing\n")
            # Switched off by SCPI, not by MPRIS.
            with socket.create_connection(("127.0.0.1", self.port), timeout=WAIT_S) as rig:
                rig.sendall(b"OUTP OFF\n*OPC?\n")
                rig.makefile().readline()
            self.assertEqual(next_line(follower.stdout), "Paused\n")
        finally:
            follower.kill()
            follower.wait()

    def test_zz_quit(self):
        self.assertEqual(self.playerctl("--all-players", "status").returncode, 0)
        self.dbus("org.mpris.MediaPlayer2.Quit")
        self.assertEqual(self.headless.program.wait(WAIT_S), 0)


class HungDevice(unittest.TestCase):
    """A transfer that never returns, in the window program: SCPI still
    answers, and Quit (as MPRIS asks it, the button's own command) ends the
    program 5 s later, status 6, saying why."""

    def test_window_answers_and_quits(self):
        headless = Headless()
        self.addCleanup(headless.stop)
        bus, environment = session_bus()
        self.addCleanup(lambda: (bus.terminate(), bus.wait()))
        port = free_port()
        ramp = headless.file("ramp.csv", "1\n2\n3\n")
        headless.start(SIMULATOR, VIRTUALDAC, ["--listen", str(port), "--remote-files", headless.dir.name],
                       dict(environment, VIRTUALDAC_HANG_AFTER="5"), window=True)
        wait_for(lambda: subprocess.run(["playerctl", "-p", PLAYER, "status"], env=environment, capture_output=True,
                                        timeout=WAIT_S).returncode == 0, "the window on the bus")
        with socket.create_connection(("127.0.0.1", port), timeout=WAIT_S) as rig:
            answers = rig.makefile()
            rig.sendall(f'SOUR:FILE "{ramp}";:OUTP ON;*OPC?\n'.encode())
            self.assertEqual(answers.readline(), "1\n")
            hung = "virtualdac: transfer 5 hangs (VIRTUALDAC_HANG_AFTER)\n"
            while next_line(headless.program.stderr) != hung:
                pass
            rig.sendall(b"OUTP OFF;OUTP?;:SOUR:POS?;:*IDN?\n")
            self.assertRegex(answers.readline(), r"^0;[0-2];ECG simulator maintainers,ecg-simulator,0,")
        subprocess.run(["dbus-send", "--session", "--print-reply", f"--dest=org.mpris.MediaPlayer2.{PLAYER}",
                        "/org/mpris/MediaPlayer2", "org.mpris.MediaPlayer2.Quit"], env=environment, check=True,
                       capture_output=True, timeout=WAIT_S)
        self.assertEqual(headless.program.wait(5 + WAIT_S), 6)
        self.assertIn("Arrêt forcé: la sortie ne s'est pas arrêtée en 5 s", headless.program.stderr.read().decode())


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
