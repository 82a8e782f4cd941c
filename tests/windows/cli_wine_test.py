"""kestrel-cli.exe under Wine against the Linux kestrel-sim, on loopback TCP and on a COM port
mapped to a pseudo-terminal: each command's output and exit status must be the Linux
kestrel-cli's for the same command (lines end with CR LF on Windows: compared without the CR).
Ctrl+C is not tested here: a SIGINT to `wine` ends the launcher, not the Windows program.

Usage: cli_wine_test.py LINUX_CLI WINDOWS_CLI SIM   (WINEPREFIX set, its dosdevices writable)
"""
import os
import select
import socket
import subprocess
import sys
import tempfile
import unittest

LINUX_CLI, WINDOWS_CLI, SIM = sys.argv[1:4]
PATIENCE = 30  # seconds: Wine starts slowly on a shared machine
COM = "COM6"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def first_line(proc):
    ready, _, _ = select.select([proc.stdout], [], [], PATIENCE)
    return proc.stdout.readline().strip() if ready else ""


class CliUnderWine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.comdir = tempfile.TemporaryDirectory()
        cls.env = dict(os.environ, KESTREL_COM_DIR=cls.comdir.name)
        cls.sims = []
        cls.tcp = cls.sim("--tcp", "127.0.0.1:0", "--no-discovery", "--di", "1011",
                          "--ai", "512,1024")
        cls.silent = cls.sim("--tcp", "127.0.0.1:0", "--no-discovery", "--stop-reading")
        serial = cls.sim("--serial", COM, "--baud", "19200", "--address", "4", "--di", "0110")
        com = os.path.join(os.environ["WINEPREFIX"], "dosdevices", COM.lower())
        if os.path.lexists(com):
            os.remove(com)
        os.symlink(serial.split()[4], com)

    @classmethod
    def sim(cls, *args):
        proc = subprocess.Popen([SIM, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, text=True, env=cls.env)
        cls.sims.append(proc)
        line = first_line(proc)  # listening tcp 127.0.0.1:PORT ... / listening serial COMn -> PTY
        if not line.startswith("listening"):
            raise RuntimeError("kestrel-sim did not start: " + repr(line))
        return line.split()[2] if line.split()[1] == "tcp" else line

    @classmethod
    def tearDownClass(cls):
        for proc in cls.sims:
            proc.terminate()
            proc.wait(PATIENCE)
        cls.comdir.cleanup()

    def run_both(self, *args):
        results = []
        for command in ([LINUX_CLI], ["wine", WINDOWS_CLI]):
            done = subprocess.run([*command, *args], stdin=subprocess.DEVNULL, capture_output=True,
                                  text=True, env=self.env, timeout=PATIENCE)
            results.append((done.returncode, done.stdout.replace("\r\n", "\n"),
                            done.stderr.replace("\r\n", "\n")))
        return results

    def test_outputs_and_exit_status_are_the_linux_ones(self):
        refused = "127.0.0.1:%d" % free_port()
        listed = os.path.join(self.comdir.name, "modules.txt")
        with open(listed, "w") as modules:
            modules.write("# two modules\n%s\n%s\n" % (self.tcp, refused))
        cases = [
            (["--tcp", self.tcp, "di"], 0),
            (["--tcp", self.tcp, "ai", "--json"], 0),
            (["--tcp", self.tcp, "relay", "2", "on"], 0),
            (["--tcp", self.tcp, "params"], 0),
            (["--tcp", self.tcp, "params", "set", "ai1-period=5"], 2),  # no --yes, no terminal
            (["--com", COM, "--baud", "19200", "di"], 0),
            (["--tcp", refused, "--json", "ai"], 3),
            (["--tcp", self.silent, "--timeout", "300", "ai"], 1),
            (["--tcp", "@" + listed, "di"], 3),
            (["--tcp", "127.0.0.1:70000", "di"], 2),
        ]
        for args, status in cases:
            with self.subTest(args=" ".join(args)):
                linux, windows = self.run_both(*args)
                self.assertEqual(linux[0], status, linux)
                self.assertEqual(windows, linux)

if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[4:])
