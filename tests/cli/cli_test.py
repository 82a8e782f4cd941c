"""kestrel-cli as an operator runs it: the real executable against kestrel-sim processes on
loopback and on pseudo-terminals, and against pymodbus as an independent peer.

Usage: cli_test.py CLI SIM PYMODBUS_MODULE [unittest arguments]
"""
import json
import os
import select
import signal
import socket
import subprocess
import sys
import tempfile
import time
import datetime
import unittest

CLI, SIM, PYMODBUS_MODULE = sys.argv[1:4]
PATIENCE = 20  # seconds; generous, the machine is shared


def free_port(kind=socket.SOCK_STREAM):
    with socket.socket(socket.AF_INET, kind) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def read_line_from(stream):
    """The next line of a process's pipe; None after PATIENCE of silence. Byte by byte from the
    descriptor: a line that came with the one before must not wait in Python's buffer while
    select() waits on the descriptor for more."""
    descriptor = stream.fileno()
    line = b""
    while not line.endswith(b"\n"):
        ready, _, _ = select.select([descriptor], [], [], PATIENCE)
        if not ready:
            return None
        byte = os.read(descriptor, 1)
        if not byte:
            break
        line += byte
    return line.decode()


class Sim:
    """One kestrel-sim process; `show` and the input commands go through its standard input."""

    def __init__(self, *args, env=None):
        self.proc = subprocess.Popen([SIM, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True, env=env)
        self.listening = self._line()
        if not self.listening.startswith("listening"):
            raise RuntimeError("kestrel-sim did not start: " + repr(self.listening))
        words = self.listening.split()
        self.port = int(words[2].rsplit(":", 1)[1]) if words[1] == "tcp" else None
        self.address = "127.0.0.1:%d" % self.port if self.port else words[2]

    def _line(self):
        return (read_line_from(self.proc.stdout) or "").strip()

    def command(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        return self._line()

    def params(self):
        show = self.command("show")
        return show.split("params=")[1].split(" address=")[0]

    def relays(self):
        return self.command("show").split("relays=")[1].split()[0]

    def close(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(PATIENCE)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdin.close()
        self.proc.stdout.close()


def run_cli(*args, env=None, stdin=subprocess.DEVNULL, timeout=PATIENCE):
    return subprocess.run([CLI, *args], stdin=stdin, capture_output=True, text=True, env=env,
                          timeout=timeout)


def json_lines(out):
    return [json.loads(line) for line in out.splitlines()]


class CliCase(unittest.TestCase):
    def setUp(self):
        self.sims = []
        self.comdir = tempfile.TemporaryDirectory()
        self.env = dict(os.environ, KESTREL_COM_DIR=self.comdir.name,
                        KESTREL_DISCOVERY_SCOPE="loopback",
                        KESTREL_DISCOVERY_PORT=str(free_port(socket.SOCK_DGRAM)))

    def tearDown(self):
        for sim in self.sims:
            sim.close()
        self.comdir.cleanup()

    def sim(self, *args):
        sim = Sim(*args, env=self.env)
        self.sims.append(sim)
        return sim

    def tcp_sim(self, *args):
        return self.sim("--tcp", "127.0.0.1:0", "--no-discovery", *args)

    def cli(self, *args, **kwargs):
        return run_cli(*args, **{"env": self.env, **kwargs})

    # The links every command is tried on: link options for a simulator, its own options, and
    # the unit it answers at.
    TCP_SIM = ["--tcp", "127.0.0.1:0", "--no-discovery"]
    SERIAL_SIM = ["--serial", "COM7", "--baud", "19200", "--address", "4"]
    LINKS = {
        "modbus tcp": (lambda sim: ["--tcp", sim.address], TCP_SIM, 1),
        "rtu in tcp": (lambda sim: ["--tcp", sim.address, "--rtu"],
                       TCP_SIM + ["--framing", "rtu"], 1),
        "serial search": (lambda sim: ["--com", "COM7"], SERIAL_SIM, 4),
        "serial at rate": (lambda sim: ["--com", "COM7", "--baud", "19200"], SERIAL_SIM, 4),
    }

    def linked_sim(self, link, *extra):
        options, sim_args, unit = self.LINKS[link]
        sim = self.sim(*sim_args, *extra)
        return sim, options(sim), unit


class Commands(CliCase):
    def test_each_command_on_each_link(self):
        for link in self.LINKS:
            with self.subTest(link=link):
                sim, link_args, unit = self.linked_sim(link, "--di", "1011", "--ai", "512,1024")
                result = self.cli(*link_args, "relay", "3", "on")
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stdout, "%s unit %d: RL3 on\n" % (link_args[1], unit))
                self.assertEqual(sim.relays(), "0010")
                self.assertEqual(self.cli(*link_args, "relay", "3", "off").returncode, 0)
                self.assertEqual(sim.relays(), "0000")

                result = self.cli(*link_args, "di")
                self.assertTrue(result.stdout.endswith(": DI1=on DI2=off DI3=on DI4=on\n"),
                                result.stdout + result.stderr)
                result = self.cli(*link_args, "ai", "--json")
                self.assertEqual(result.returncode, 0, result.stderr)
                (reply,) = json_lines(result.stdout)
                self.assertEqual((reply["ai1"], reply["ai1_raw"], reply["ai2"], reply["ai2_raw"]),
                                 (2.5, 512, 5.0, 1024))
                self.assertEqual(reply["unit"], unit)
                result = self.cli(*link_args, "params")
                self.assertIn("unit %d: address=%d baud=" % (unit, unit), result.stdout)
                self.assertIn("di-upload=0 di-upload-address=2 ai1-period=0 ai2-period=0 "
                              "version=V16\n", result.stdout)
                sim.close()

    def test_unit_option_skips_the_parameter_read(self):
        sim = self.tcp_sim("--no-broadcast-unit", "--address", "9", "--ai", "1023,0")
        self.assertEqual(self.cli("--tcp", sim.address, "ai").returncode, 1)
        result = self.cli("--tcp", sim.address, "--unit", "9", "ai")
        self.assertEqual(result.stdout, "%s unit 9: AI1=4.99512 V (1023) AI2=0 V (0)\n"
                         % sim.address)

    def test_ipv6_literals(self):
        sim = self.sim("--tcp", "[::1]:0", "--no-discovery")
        result = self.cli("--tcp", "[::1]:%d" % sim.port, "di")
        self.assertEqual((result.returncode, result.stdout.split(" unit")[0]),
                         (0, "[::1]:%d" % sim.port), result.stderr)
        result = self.cli("--tcp=::1", "--timeout", "300", "di")  # a bare literal: port 4196
        self.assertNotEqual(result.returncode, 2, result.stderr)
        self.assertIn("[::1]:4196", result.stdout + result.stderr)

    def test_poll_repeats_the_command_with_timestamps_until_interrupted(self):
        # The link is kept from round to round; one the module closes is made anew.
        sim = self.tcp_sim("--di", "1000", "--close-after", "2")
        with subprocess.Popen([CLI, "--tcp", sim.address, "--unit", "1", "--poll", "150",
                               "--json", "di"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                              env=self.env) as poll:
            rounds = [json.loads(WatchAndSignals.read_line(poll)) for _ in range(4)]
            poll.send_signal(signal.SIGINT)
            self.assertEqual(poll.wait(PATIENCE), 0)
        self.assertEqual([r["di"] for r in rounds], [[True, False, False, False]] * 4)
        times = [datetime.datetime.fromisoformat(r["time"]) for r in rounds]
        for before, after in zip(times, times[1:]):
            self.assertGreaterEqual((after - before).total_seconds(), 0.14)

    def test_relays_has_no_read_and_switches_nothing(self):
        sim = self.tcp_sim()
        self.cli("--tcp", sim.address, "relay", "2", "on")
        result = self.cli("--tcp", sim.address, "relays")
        self.assertEqual(result.returncode, 2)
        self.assertIn("no read of its relay states", result.stderr)
        self.assertEqual(sim.relays(), "0100")


class ParamsSet(CliCase):
    def test_write_then_read_back_on_each_link(self):
        for link in self.LINKS:
            with self.subTest(link=link):
                sim, link_args, _ = self.linked_sim(link)
                result = self.cli(*link_args, "params", "set", "address=6", "ai1-period=1000",
                                  "di-upload=1", "--yes", "--json")
                self.assertEqual(result.returncode, 0, result.stderr)
                (reply,) = json_lines(result.stdout)
                self.assertEqual((reply["written"], reply["unit"], reply["address"],
                                  reply["ai1_period"], reply["di_upload"]), (True, 6, 6, 1000, 1))
                self.assertIn("will write address=6", result.stderr)  # the plan, beside JSON
                self.assertTrue(sim.params().startswith("06 01 02"))
                self.assertTrue(sim.params().endswith("03 E8 00 00"))
                result = self.cli(*link_args, "params", "set", "ai2-period=5", "--yes")
                self.assertEqual(result.returncode, 0, result.stderr)
                # On the serial line, as the panel says there: the module needs a restart.
                self.assertEqual(result.stdout.endswith(
                    "ai2-period=5 version=V16 (Set complete!please reboot device!)\n"),
                    link.startswith("serial"), result.stdout)
                sim.close()

    def test_on_the_serial_line_the_rate_is_searched_once(self):
        self.sim("--serial", "COM7", "--baud", "19200", "--address", "4")
        result = self.cli("--com", "COM7", "params", "set", "ai1-period=8", "--yes",
                          env=dict(self.env, KESTREL_TRACE="1"))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr.count("search at 1200 baud"), 2)  # one search, two tries

    def test_nothing_is_written_without_yes_when_no_terminal_asks(self):
        sim = self.tcp_sim()
        before = sim.params()
        result = self.cli("--tcp", sim.address, "params", "set", "address=9")
        self.assertEqual(result.returncode, 2)
        self.assertIn("will write address=9", result.stdout)
        self.assertIn("give --yes", result.stderr)
        self.assertEqual(sim.params(), before)

    def test_the_operator_confirms_at_the_terminal(self):
        # The last: someone else changes the module while the prompt waits.
        for answer, status, written, meanwhile in [("y", 0, True, None), ("n", 1, False, None),
                                                   ("", 1, False, None),
                                                   ("y", 1, False, "ai2-period=7")]:
            with self.subTest(answer=answer, meanwhile=meanwhile):
                sim = self.tcp_sim()
                master, slave = os.openpty()
                with subprocess.Popen([CLI, "--tcp", sim.address, "params", "set", "address=9"],
                                      stdin=slave, stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE, text=True, env=self.env) as cli:
                    os.close(slave)
                    prompt = ""
                    while "[y/N] " not in prompt and cli.poll() is None:
                        ready, _, _ = select.select([cli.stderr], [], [], PATIENCE)
                        prompt += os.read(cli.stderr.fileno(), 256).decode() if ready else "!"
                        self.assertNotIn("!", prompt)
                    if meanwhile:
                        self.cli("--tcp", sim.address, "params", "set", meanwhile, "--yes")
                    os.write(master, (answer + "\n").encode())
                    self.assertEqual(cli.wait(PATIENCE), status)
                    os.close(master)
                    self.assertIn("will write address=9", cli.stdout.read())
                    if meanwhile:
                        self.assertIn("changed since they were read (ai2-period=0->7); nothing "
                                      "written", cli.stderr.read())
                self.assertEqual(sim.params().startswith("09"), written)

    def test_values_are_refused_before_anything_is_written(self):
        sim = self.tcp_sim()
        cases = [
            (["address=256"], 2, "params set address=256: address must be 1..255"),
            (["address=0"], 2, "address must be 1..255"),
            (["ai2-period=65536"], 2, "ai2-period must be 0..65535"),
            (["baud=9601"], 2, "baud must be one of 1200"),
            (["version=17"], 2, "version is read only"),
            (["colour=red"], 2, "no such parameter"),
            (["address=3", "di-upload-address=3"], 2, "address and DI upload address must differ"),
            (["di-upload-address=1"], 2, "address=1 di-upload-address=1: address and DI upload "
             "address must differ; nothing written"),
        ]
        before = sim.params()
        for words, status, message in cases:
            with self.subTest(words=words):
                result = self.cli("--tcp", sim.address, "params", "set", *words, "--yes")
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertIn(message, result.stderr)
        self.assertEqual(sim.params(), before)

    def test_another_units_reply_and_address_0_write_nothing(self):
        cases = [
            (["--address", "5", "--reply-unit", "9"], ["--unit", "5"],
             "No reply from unit 5 to the "),
            (["--address", "0"], [], "reports address 0, the broadcast address"),
        ]
        for sim_args, cli_args, message in cases:
            with self.subTest(sim=sim_args):
                sim = self.tcp_sim(*sim_args)
                before = sim.params()
                for command in (["params", "set", "ai1-period=5", "--yes"], ["di"]):
                    result = self.cli("--tcp", sim.address, *cli_args, "--timeout", "300",
                                      *command)
                    self.assertEqual(result.returncode, 1, result.stderr)
                    self.assertIn(message, result.stderr)
                self.assertEqual(sim.params(), before)

    def test_a_refused_write_is_named_and_stops_the_sequence(self):
        sim = self.tcp_sim()
        result = self.cli("--tcp", sim.address, "params", "set", "address=250", "--yes")
        self.assertEqual(result.returncode, 1)
        self.assertIn("Unit 1 refused the write of register 0x003F: exception 3 (illegal data "
                      "value)", result.stderr)


class PanelFrames(CliCase):
    """The frames on the wire, from the traffic trace: the panel's own, with its pauses."""

    def sent(self, *args):
        result = self.cli(*args, env=dict(self.env, KESTREL_TRACE="1"))
        self.assertEqual(result.returncode, 0, result.stderr)
        frames = []
        for line in result.stderr.splitlines():
            fields = line.split(" ", 3)  # link events ("COM7 closed") have no bytes
            if len(fields) == 4 and fields[2] == "tx":
                frames.append((float(fields[0]), fields[3]))
        return frames

    def test_requests_match_the_panels_frames_byte_for_byte(self):
        read3_tcp = "00 01 00 00 00 06 FF 03 00 3F 00 03"
        read5_tcp = "00 01 00 00 00 06 FF 03 00 3F 00 05"
        read3_rtu, read5_rtu = "FF 03 00 3F 00 03 20 19", "FF 03 00 3F 00 05 A0 1B"
        tcp = self.tcp_sim("--address", "5").address
        rtu = self.tcp_sim("--address", "5", "--framing", "rtu").address
        cases = [
            (["--tcp", tcp, "relay", "1", "on"], [read3_tcp, read5_tcp,
                                                  "00 01 00 00 00 06 05 05 00 10 FF 00"], 0),
            (["--tcp", rtu, "--rtu", "relay", "1", "on"], [read3_rtu, read5_rtu,
                                                           "05 05 00 10 FF 00 8C 7B"], 0.2),
            (["--tcp", rtu, "--rtu", "--unit", "5", "di"], ["05 01 00 00 00 04 3C 4D"], 0),
            (["--tcp", rtu, "--rtu", "--unit", "5", "ai"], ["05 04 00 00 00 02 70 4F"], 0),
        ]
        for args, expected, pause in cases:
            with self.subTest(args=args):
                frames = self.sent(*args)
                self.assertEqual([f for _, f in frames], expected)
                if len(frames) > 1:
                    self.assertGreaterEqual(frames[1][0] - frames[0][0], pause)

    def test_on_the_serial_line_with_unit_and_rate_the_command_goes_alone(self):
        self.sim("--serial", "COM7", "--baud", "19200", "--address", "4")
        frames = self.sent("--com=COM7", "--baud=19200", "--unit=4", "di")
        self.assertEqual([f for _, f in frames], ["04 01 00 00 00 04 3D 9C"])

    def test_the_parameter_write_keeps_the_panels_order_units_and_pauses(self):
        rtu = self.tcp_sim("--address", "5", "--framing", "rtu").address
        frames = self.sent("--tcp", rtu, "--rtu", "params", "set", "di-upload=1",
                           "ai1-period=1000", "--yes")
        # The read, the same block read again from the module's address just before the writes.
        self.assertTrue(frames[2][1].startswith("05 03 00 3F 00 05 "), frames[2][1])
        writes = frames[3:7]
        self.assertEqual([f for _, f in writes],
                         ["05 06 00 40 02 07 C9 38", "05 06 00 42 03 E8 28 E4",
                          "05 06 00 43 00 00 79 9A", "05 06 00 3F 05 01 7A D2"])
        for (before, _), (after, _) in zip(writes, writes[1:]):
            self.assertGreaterEqual(after - before, 0.1)
        self.assertEqual(frames[7][1], "FF 03 00 3F 00 03 20 19")
        self.assertGreaterEqual(frames[7][0] - writes[-1][0], 0.2)


class Faults(CliCase):
    def test_exit_status_and_message_for_each_fault(self):
        dead = free_port()
        cases = [
            ("never answers", ["--stop-reading"], 1,
             "No reply from unit 255 to the parameter read"),
            ("refuses", ["--exception-every", "1"], 1,
             "Unit 255 refused the parameter read: exception 4 (server device failure)"),
            ("closes", ["--close-after", "1"], 1, "The module "),
            ("not there", None, 3, "TCP connect failed: Connection refused"),
        ]
        for name, sim_args, status, message in cases:
            with self.subTest(fault=name):
                address = self.tcp_sim(*sim_args).address if sim_args is not None else \
                    "127.0.0.1:%d" % dead
                started = time.monotonic()
                result = self.cli("--tcp", address, "--timeout", "300", "--json", "ai")
                self.assertEqual(result.returncode, status, result.stderr)
                line = "kestrel-cli: %s: %s" % (address, message)
                self.assertTrue(result.stderr.startswith(line), result.stderr)
                self.assertEqual(result.stderr.count("\n"), 1, result.stderr)
                (reply,) = json_lines(result.stdout)
                self.assertEqual((reply["module"], reply["ok"], reply["status"]),
                                 (address, False, status))
                self.assertIn(message, reply["error"])
                self.assertGreaterEqual(time.monotonic() - started,
                                        0.3 if name == "never answers" else 0)

    def test_a_query_refused_with_the_unit_given(self):
        sim = self.tcp_sim("--exception-every", "1")
        result = self.cli("--tcp", sim.address, "--unit", "1", "di")
        self.assertEqual((result.returncode, result.stderr), (1, "kestrel-cli: %s: Unit 1 refused "
                         "the DI query: exception 4 (server device failure)\n" % sim.address))

    def test_usage_errors_send_nothing(self):
        cases = [
            ["--tcp", "127.0.0.1", "relay", "5", "on"],
            ["--tcp", "127.0.0.1", "relay", "1", "up"],
            ["--tcp", "127.0.0.1:70000", "di"],
            ["--tcp", "127.0.0.1", "dance"],
            ["di"],
            ["--tcp", "127.0.0.1", "--each", "di"],
            ["--tcp", "127.0.0.1", "discover"],
            ["--tcp", "[::1]:0", "di"],
            ["--tcp", "127.0.0.1", "--poll", "100", "relay", "1", "on"],
            ["--com", "COM7", "--com", "COM8", "di"],
            ["--tcp", "127.0.0.1", "--baud", "9600", "di"],
            ["--tcp", "127.0.0.1", "--unit", "0", "di"],
        ]
        for args in cases:
            with self.subTest(args=args):
                result = self.cli(*args)
                self.assertEqual(result.returncode, 2)
                self.assertEqual(result.stdout, "")
                self.assertTrue(result.stderr.startswith("kestrel-cli: "), result.stderr)
                self.assertEqual(result.stderr.count("\n"), 1)

    def test_module_lists_that_cannot_be_used(self):
        with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as bad:
            bad.write("# plant\n127.0.0.1:5020\n\n127.0.0.1:99999\n")
        self.addCleanup(os.unlink, bad.name)
        cases = [
            ("/dev/zero", "the list is longer than 1 MiB"),
            (self.comdir.name, "cannot read the file: Is a directory"),
            ("/nonexistent/modules.txt", "cannot open the file: No such file or directory"),
            (bad.name, "line 4: the port must be a number from 1 to 65535"),
            ("/dev/null", "the file lists no module"),
        ]
        for path, message in cases:
            with self.subTest(path=path):
                result = self.cli("--tcp", "@" + path, "di")
                self.assertEqual((result.returncode, result.stderr),
                                 (2, "kestrel-cli: --tcp @%s: %s\n" % (path, message)))

    def test_a_serial_line_with_no_module(self):
        sim = self.sim("--serial", "COM7", "--baud", "9600")
        result = self.cli("--com", "COM7", "--baud", "19200", "--timeout", "200", "di")
        self.assertEqual(result.returncode, 1)
        self.assertIn("No reply from unit 255 to the parameter read at 19200 baud: is the module "
                      "set to that rate? Without --baud the rates are searched", result.stderr)
        sim.close()
        result = self.cli("--com", os.path.join(self.comdir.name, "COM7"), "di")
        self.assertEqual(result.returncode, 3)
        self.assertIn("Open ", result.stderr)


class Many(CliCase):
    def test_fifty_modules_in_one_call_from_a_file(self):
        sims = [self.tcp_sim("--address", str(1 + n % 200), "--ai", "%d,0" % n)
                for n in range(50)]
        with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as targets:
            targets.write("# the plant\n\n" + "".join(s.address + "\n" for s in sims))
        self.addCleanup(os.unlink, targets.name)
        started = time.monotonic()
        result = self.cli("--tcp", "@" + targets.name, "--json", "ai", timeout=120)
        self.assertLess(time.monotonic() - started, 60)
        self.assertEqual(result.returncode, 0, result.stderr)
        replies = json_lines(result.stdout)
        self.assertEqual([r["module"] for r in replies], [s.address for s in sims])
        self.assertEqual([r["ai1_raw"] for r in replies], list(range(50)))
        self.assertEqual([r["unit"] for r in replies], [1 + n for n in range(50)])

    def test_at_most_32_modules_at_once(self):
        sims = [self.tcp_sim("--delay-ms", "400") for _ in range(33)]
        args = [a for s in sims for a in ("--tcp", s.address)]
        started = time.monotonic()
        result = self.cli(*args, "--unit", "1", "--quiet", "di", timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, "")
        # 33 replies that each take 400 ms: the 33rd module waits for a place.
        self.assertGreaterEqual(time.monotonic() - started, 0.8)

    def test_params_set_holds_more_links_than_run_at_once(self):
        sims = [self.tcp_sim() for _ in range(33)]  # each parked on its link until written
        args = [a for s in sims for a in ("--tcp", s.address)]
        result = self.cli(*args, "params", "set", "ai1-period=3", "--yes", "--json", timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual([r["ai1_period"] for r in json_lines(result.stdout)], [3] * 33)
        self.assertTrue(all(s.params().endswith("00 03 00 00") for s in sims))

    def test_results_keep_the_order_given_when_some_fail(self):
        slow = self.tcp_sim("--delay-ms", "400")
        quick = self.tcp_sim()
        dead = "127.0.0.1:%d" % free_port()
        result = self.cli("--tcp", slow.address, "--tcp", dead, "--tcp", quick.address,
                          "--json", "di")
        self.assertEqual(result.returncode, 3)
        replies = json_lines(result.stdout)
        self.assertEqual([(r["module"], r["ok"]) for r in replies],
                         [(slow.address, True), (dead, False), (quick.address, True)])

    def test_discover_lists_every_module_with_the_panels_verdicts(self):
        port = self.env["KESTREL_DISCOVERY_PORT"]
        alpha = self.sim("--tcp", "127.0.0.1:0", "--name", "ALPHA", "--discovery-port", port)
        bravo = self.sim("--tcp", "127.0.0.1:0", "--name", "BRAVO", "--discovery-port", port,
                         "--framing", "rtu", "--work-mode", "2")
        charlie = self.sim("--tcp", "127.0.0.1:0", "--name", "CHARLIE", "--discovery-port", port,
                           "--parity", "1", "--ai", "0,512")
        result = self.cli("discover", "--json")
        self.assertEqual(result.returncode, 0, result.stderr)
        rows = {r["name"]: r for r in json_lines(result.stdout)}
        expected = {
            "ALPHA": (alpha.port, "TCP Server", "MODBUS TCP", "Correct!"),
            "BRAVO": (bravo.port, "WorkMode Error!", "Protocol Error!", "Correct!"),
            "CHARLIE": (charlie.port, "TCP Server", "MODBUS TCP", "Error!"),
        }
        self.assertEqual({n: (r["port"], r["work_mode"], r["protocol"], r["uart"])
                          for n, r in rows.items()}, expected)
        self.assertEqual(self.cli("discover", "--rtu").stdout.count("MODBUS RTU!"), 1)

        result = self.cli("discover", "--each", "--json", "ai")
        self.assertEqual(result.returncode, 1)  # BRAVO speaks RTU, the others Modbus TCP
        replies = {r["module"]: r for r in json_lines(result.stdout)}
        self.assertEqual(replies[charlie.address]["ai2"], 2.5)
        self.assertFalse(replies[bravo.address]["ok"])
        self.assertTrue(replies[alpha.address]["ok"])

    def test_discover_with_nothing_to_find(self):
        result = self.cli("discover")
        self.assertEqual((result.returncode, result.stdout), (1, ""))
        self.assertIn("no module answered", result.stderr)


class WatchAndSignals(CliCase):
    def test_reports_come_until_interrupted_and_the_signal_ends_it_cleanly(self):
        for link in ["modbus tcp", "serial at rate"]:
            with self.subTest(link=link):
                sim, link_args, _ = self.linked_sim(link, "--ai", "256,0")
                self.assertEqual(self.cli(*link_args, "params", "set", "di-upload=1",
                                          "ai2-period=100", "--yes").returncode, 0)
                with subprocess.Popen([CLI, *link_args, "--json", "watch"],
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                      env=self.env) as watch:
                    first = json.loads(self.read_line(watch))
                    self.assertEqual((first["event"], first["ai1"], first["ai1_raw"]),
                                     ("ai", 1.25, 256))
                    sim.command("di 3 1")
                    events = [json.loads(self.read_line(watch)) for _ in range(5)]
                    self.assertTrue(all("T" in e.pop("time", "") for e in events), events)
                    self.assertIn({"module": link_args[1], "event": "di", "input": 3, "on": True},
                                  events)
                    watch.send_signal(signal.SIGINT)
                    self.assertEqual(watch.wait(PATIENCE), 0)
                    self.assertEqual(watch.stderr.read(), "")
                sim.close()

    def test_a_termination_signal_ends_a_waiting_command_at_once(self):
        sim = self.tcp_sim("--stop-reading")
        env = dict(self.env, KESTREL_TRACE="1")  # the trace tells when the request has gone
        with subprocess.Popen([CLI, "--tcp", sim.address, "--timeout", "60000", "ai"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                              env=env) as command:
            while " TCP tx " not in self.read_line(command, command.stderr):
                self.assertIsNone(command.poll())
            started = time.monotonic()
            command.send_signal(signal.SIGTERM)
            self.assertEqual(command.wait(PATIENCE), 128 + signal.SIGTERM)
            self.assertLess(time.monotonic() - started, 5)

    def test_an_interrupted_write_says_how_far_it_got(self):
        sim = self.tcp_sim()
        env = dict(self.env, KESTREL_TRACE="1")
        with subprocess.Popen([CLI, "--tcp", sim.address, "params", "set", "address=7",
                               "ai1-period=9", "--yes"], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, env=env) as command:
            while " 01 06 00 " not in self.read_line(command, command.stderr):
                self.assertIsNone(command.poll())
            command.send_signal(signal.SIGINT)  # after the first of the four writes
            self.assertEqual(command.wait(PATIENCE), 128 + signal.SIGINT)
            errors = command.stderr.read()
        written = int(errors.split("interrupted: ")[1].split(" of 4")[0])
        self.assertIn("%s: interrupted: %d of 4 registers written" % (sim.address, written),
                      errors)
        self.assertTrue(sim.params().startswith("01"))  # the address, written last, is not

    def test_an_interrupt_ends_the_serial_search_and_frees_the_port(self):
        self.sim("--serial", "COM7", "--baud", "115200")  # found only at the last rate
        env = dict(self.env, KESTREL_TRACE="1")
        with subprocess.Popen([CLI, "--com", "COM7", "di"], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, env=env) as command:
            while "search at 2400 baud" not in self.read_line(command, command.stderr):
                self.assertIsNone(command.poll())
            command.send_signal(signal.SIGINT)
            self.assertEqual(command.wait(PATIENCE), 128 + signal.SIGINT)
            self.assertNotIn("kestrel-cli:", command.stderr.read())
        result = self.cli("--com", "COM7", "--baud", "115200", "di")  # the port is free again
        self.assertEqual(result.returncode, 0, result.stderr)

    @staticmethod
    def read_line(proc, stream=None):
        line = read_line_from(stream or proc.stdout)
        return "{}" if line is None else line


class IndependentPeer(CliCase):
    """pymodbus serving the module's data model over Modbus TCP."""

    def test_commands_against_pymodbus(self):
        port = free_port()
        peer = subprocess.Popen(["/usr/bin/python3", PYMODBUS_MODULE, str(port)],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(peer.wait)
        self.addCleanup(peer.terminate)
        address = "127.0.0.1:%d" % port
        deadline = time.monotonic() + PATIENCE
        while self.cli("--tcp", address, "params").returncode != 0:
            self.assertLess(time.monotonic(), deadline, "pymodbus did not start")
            time.sleep(0.1)
        cases = [
            (["params"], "unit 3: address=3 baud=115200 di-upload=0 di-upload-address=2 "
                         "ai1-period=0 ai2-period=0 version=V16"),
            (["di"], "unit 3: DI1=on DI2=off DI3=on DI4=on"),
            (["ai"], "unit 3: AI1=2.5 V (512) AI2=5 V (1024)"),
            (["relay", "2", "on"], "unit 3: RL2 on"),
            (["params", "set", "ai1-period=500", "--yes", "--quiet"], None),
            (["params"], "unit 3: address=3 baud=115200 di-upload=0 di-upload-address=2 "
                         "ai1-period=500 ai2-period=0 version=V16"),
        ]
        for args, line in cases:
            with self.subTest(args=args):
                result = self.cli("--tcp", address, *args)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stdout, "" if line is None else address + " " + line + "\n")


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:], verbosity=2)
