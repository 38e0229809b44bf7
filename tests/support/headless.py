"""The simulator without a window, on the virtual DAC, as the Python tests run it."""
import atexit
import ctypes
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

WAIT_S = 5
PR_SET_PDEATHSIG = 1
LIBC = ctypes.CDLL(None, use_errno=True)
ROOT_PREFIX = "ecg-tests-"


def remove_left_roots(base):
    """Removes the roots of suites whose process is gone (killed ones)."""
    for name in os.listdir(base):
        pid = name[len(ROOT_PREFIX):]
        if not name.startswith(ROOT_PREFIX) or not pid.isdigit() or len(pid) > 9:
            continue
        try:
            os.kill(int(pid), 0)
        except ProcessLookupError:
            shutil.rmtree(os.path.join(base, name), ignore_errors=True)
        except PermissionError:
            pass  # alive, another user's


def make_root():
    """Every temporary folder of the suite, and of the programs it starts, under
    one root, ecg-tests-<pid>, in memory where /dev/shm exists: it goes when the
    suite ends, and a suite that starts removes what killed ones left (as
    tests/support/testroot.cpp does for the Qt Test suites)."""
    base = "/dev/shm" if os.path.isdir("/dev/shm") else tempfile.gettempdir()
    for left in {base, tempfile.gettempdir()}:
        remove_left_roots(left)
    root = os.path.join(base, f"{ROOT_PREFIX}{os.getpid()}")
    shutil.rmtree(root, ignore_errors=True)
    os.mkdir(root, 0o700)
    tempfile.tempdir = root
    os.environ["TMPDIR"] = root
    owner = os.getpid()

    def remove():
        if os.getpid() == owner:  # not in a forked child
            shutil.rmtree(root, ignore_errors=True)
    atexit.register(remove)
    return root


ROOT = make_root()


def wait_for(condition, what, within_s=WAIT_S):
    deadline = time.monotonic() + within_s
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.02)
    raise AssertionError(f"not within {within_s} s: {what}")


def start(command, **options):
    """Starts a program that ends with the test, however the test ends: the
    kernel kills it when the thread that started it ends, so start it from the
    main thread. A killed test cannot end it otherwise."""
    test = os.getpid()

    def die_with_test():
        LIBC.prctl(PR_SET_PDEATHSIG, int(signal.SIGKILL))
        # The test may have ended before the request.
        if os.getppid() != test:
            os._exit(1)
    return subprocess.Popen(command, preexec_fn=die_with_test, **options)


def session_bus():
    """A private D-Bus session bus for the test: its process, and the
    environment that reaches it."""
    bus = start(["dbus-daemon", "--session", "--nofork", "--print-address=1"], stdout=subprocess.PIPE,
                stderr=subprocess.DEVNULL, text=True)
    return bus, dict(os.environ, DBUS_SESSION_BUS_ADDRESS=bus.stdout.readline().strip())


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Headless:
    """A folder for the test's files, under the suite's root, and the program
    playing in it with its frames captured there. Both go when the test ends,
    by SIGTERM and SIGINT too; when it is killed, the program ends and the
    folder stays until the next suite starts."""

    running = []

    def __init__(self):
        self.dir = tempfile.TemporaryDirectory()
        self.capture = os.path.join(self.dir.name, "capture.csv")
        self.program = None
        for stop_signal in (signal.SIGTERM, signal.SIGINT):
            signal.signal(stop_signal, Headless.stop_all)
        Headless.running.append(self)

    @staticmethod
    def stop_all(signal_number, _frame):
        """Stops every one, then ends the test by the signal's default action."""
        for headless in list(Headless.running):
            headless.stop()
        shutil.rmtree(ROOT, ignore_errors=True)
        signal.signal(signal_number, signal.SIG_DFL)
        os.kill(os.getpid(), signal_number)

    def file(self, name, content):
        path = os.path.join(self.dir.name, name)
        with open(path, "w") as out:
            out.write(content)
        return path

    def start(self, simulator, virtualdac, arguments, environment, window=False):
        """Without --play and with window, the window program, on Qt's
        offscreen platform; its log then comes through self.program.stderr."""
        # A sanitizer's runtime comes with the preloaded library, before the
        # program's. Its quarantine of freed memory is kept small, so that
        # what the program holds shows in its resident memory.
        environment = dict(environment, LD_PRELOAD=virtualdac, VIRTUALDAC_CAPTURE=self.capture,
                           VIRTUALDAC_WIRE_TIME="0",
                           ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "")
                           + ":verify_asan_link_order=0:quarantine_size_mb=4")
        if window:
            environment["QT_QPA_PLATFORM"] = "offscreen"
        else:
            environment.pop("QT_QPA_PLATFORM", None)
        self.program = start([simulator, *arguments], env=environment, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE if window else subprocess.DEVNULL)

    def stop(self):
        if self.program:
            self.program.kill()
            self.program.wait()
        self.dir.cleanup()
        if self in Headless.running:
            Headless.running.remove(self)

    def frames_after(self, start_ns, count):
        """(time, code) of the first count frames after start_ns: the capture's
        clock is CLOCK_MONOTONIC, and it is written out in bursts."""
        def after():
            with open(self.capture) as capture:
                lines = [line.split(",") for line in capture.readlines()[1:] if line.endswith("\n")]
            return [(int(fields[0]), int(fields[1])) for fields in lines if int(fields[0]) > start_ns]
        wait_for(lambda: len(after()) >= count, f"{count} frames")
        return after()[:count]

    def codes_after(self, start_ns, count):
        return [code for _, code in self.frames_after(start_ns, count)]
