#!/usr/bin/python3
"""End-to-end tests: the real driver, two real gateways, pyftpdlib and real FTP clients.

Run one test:  test_e2e.py --build BUILD_DIR TestClass.test_name
Each class sets up one tunnel (driver, both hosts, both gateways, the FTP
server) and its tests share the open gate.
"""
import argparse
import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quillon_e2e as e2e  # noqa: E402

BUILD_DIR = None
GATEWAY = "quillonftp"
FILE_SIZE = 5 * 1000 * 1000
PASSIVE_RANGE = e2e.SERVER_PASSIVE_RANGE


class TunnelCase(unittest.TestCase):
    tunnel = None

    @classmethod
    def setUpClass(cls):
        cls.tunnel = e2e.Tunnel(BUILD_DIR, gateway=GATEWAY)
        try:
            cls.source = os.path.join(cls.tunnel.ftp_root, "big.bin")
            e2e.write_random_file(cls.source, FILE_SIZE, seed=7)
            cls.source_sha = e2e.sha256_of(cls.source)
            cls.tunnel.start()
            cls.tunnel.wait_gate_open(timeout=60)
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if cls.tunnel is not None:
            keep = os.environ.get("QUILLON_E2E_KEEP")
            cls.tunnel.close()
            if keep:
                print("logs kept in " + cls.tunnel.workdir, file=sys.stderr)
            else:
                import shutil
                shutil.rmtree(cls.tunnel.workdir, ignore_errors=True)

    def alice_path(self, name):
        return os.path.join(self.tunnel.hosts["alice"].dir, name)

    def upload_source(self, name):
        path = self.alice_path(name)
        if not os.path.exists(path):
            e2e.write_random_file(path, FILE_SIZE, seed=e2e.stable_seed(name))
        return path, e2e.sha256_of(path)

    def assertFtpOk(self, result):
        self.assertTrue(result["ok"], "FTP session failed: %s\n%s" % (
            result.get("error"), result.get("stderr")))

    def curl(self, args, timeout=300):
        alice = self.tunnel.hosts["alice"]
        return alice.run(["curl", "-sS", "-v", "--max-time", str(timeout - 10), "--user",
                          "demo:demo"] + args, timeout=timeout)

    def url(self, name):
        return "ftp://127.0.0.1:%d/%s" % (self.tunnel.client_port, name)

    def server_commands(self, name):
        return [line.split(" ", 2)[2] if line.count(" ") >= 2 else ""
                for line in e2e.read_text(self.tunnel.server_log).splitlines()
                if line.startswith("CMD %s " % name)]


class FtplibTransfers(TunnelCase):
    def check_session(self, active):
        mode = "active" if active else "passive"
        down = self.alice_path("down-%s.bin" % mode)
        up, up_sha = self.upload_source("up-%s.bin" % mode)
        result = self.tunnel.ftp(["list", "retr:big.bin:" + down, "stor:%s:up-%s.bin" % (up, mode)],
                                 active=active, timeout=600)
        self.assertFtpOk(result)
        listing, retr, stor = result["results"]
        self.assertTrue(any("big.bin" in line for line in listing["lines"]), listing)
        self.assertEqual(retr["bytes"], FILE_SIZE)
        self.assertEqual(e2e.sha256_of(down), self.source_sha)
        self.assertEqual(e2e.sha256_of(os.path.join(self.tunnel.ftp_root, "up-%s.bin" % mode)),
                         up_sha)

    def test_passive_list_retr_stor(self):
        self.check_session(active=False)

    def test_active_list_retr_stor(self):
        before = len(self.server_commands("PORT"))
        self.check_session(active=True)
        ports = self.server_commands("PORT")[before:]
        self.assertTrue(ports, "the server saw no PORT command")
        for arg in ports:
            numbers = arg.split(",")
            self.assertEqual(numbers[:4], ["127", "0", "0", "1"], arg)

    def test_two_sessions_one_after_the_other_on_one_gate(self):
        for round_ in range(2):
            down = self.alice_path("again-%d.bin" % round_)
            result = self.tunnel.ftp(["retr:big.bin:" + down], timeout=600)
            self.assertFtpOk(result)
            self.assertEqual(e2e.sha256_of(down), self.source_sha)
            self.assertTrue(self.tunnel.gate_open())


class CurlTransfers(TunnelCase):
    def test_curl_defaults_retr_and_stor(self):
        down = self.alice_path("curl-down.bin")
        result = self.curl(["-o", down, self.url("big.bin")])
        self.assertEqual(result.returncode, 0, result.stderr[-3000:])
        self.assertEqual(e2e.sha256_of(down), self.source_sha)
        up, up_sha = self.upload_source("curl-up.bin")
        result = self.curl(["-T", up, self.url("curl-up.bin")])
        self.assertEqual(result.returncode, 0, result.stderr[-3000:])
        self.assertEqual(e2e.sha256_of(os.path.join(self.tunnel.ftp_root, "curl-up.bin")), up_sha)

    def test_curl_active_mode(self):
        down = self.alice_path("curl-active.bin")
        result = self.curl(["--ftp-port", "-", "-o", down, self.url("big.bin")])
        self.assertEqual(result.returncode, 0, result.stderr[-3000:])
        self.assertEqual(e2e.sha256_of(down), self.source_sha)



BIG_SIZE = 20 * 1000 * 1000
FAULT_DEADLINE_S = 10
GATE_REOPEN_S = 90  # the Client's automatic connection retries every 60.1 s (kAutoConnectRetryMs)


class FaultCase(TunnelCase):
    """A fresh tunnel per test, since each test breaks something."""

    @classmethod
    def setUpClass(cls):
        pass

    @classmethod
    def tearDownClass(cls):
        pass

    def setUp(self):
        TunnelCase.setUpClass.__func__(type(self))
        self.addCleanup(TunnelCase.tearDownClass.__func__, type(self))

    def start_big_retr(self):
        """Starts a 20 MB download in alice's host; returns (process, started_at)."""
        big = os.path.join(self.tunnel.ftp_root, "huge.bin")
        if not os.path.exists(big):
            e2e.write_random_file(big, BIG_SIZE, seed=11)
        alice = self.tunnel.hosts["alice"]
        proc = subprocess.Popen(
            alice.prefix() + [e2e.SYSTEM_PYTHON, os.path.join(e2e.HERE, "ftp_client.py"),
                              "--port", str(self.tunnel.client_port), "--timeout", "60",
                              "retr:huge.bin:" + self.alice_path("huge.bin")],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
        self.tunnel.processes.append(proc)
        # Wait until bytes flow, so the fault lands mid-transfer.
        line = ""
        while not line.startswith("progress"):
            line = proc.stdout.readline()
            if not line:
                self.fail("the transfer did not start: " + proc.stderr.read())
        return proc

    def wait_client_error(self, proc):
        start = time.monotonic()
        try:
            proc.wait(timeout=FAULT_DEADLINE_S + 5)
        except subprocess.TimeoutExpired:
            e2e.stop_process(proc)
            self.fail("the FTP client hung after the fault")
        elapsed = time.monotonic() - start
        output = proc.stdout.read()
        proc.stdout.close()
        proc.stderr.close()
        self.assertNotEqual(proc.returncode, 0, "the transfer claimed success: " + output)
        self.assertLess(elapsed, FAULT_DEADLINE_S, "the FTP client saw the fault too late")
        return elapsed

    def small_retr_works(self, name):
        small = os.path.join(self.tunnel.ftp_root, "small.bin")
        if not os.path.exists(small):
            e2e.write_random_file(small, 100 * 1000, seed=5)
        down = self.alice_path(name)
        result = self.tunnel.ftp(["retr:small.bin:" + down], timeout=120)
        self.assertFtpOk(result)
        self.assertEqual(e2e.sha256_of(down), e2e.sha256_of(small))

    def trace_count(self, name, text):
        return self.tunnel.gateway_trace(name).count(text)


class DriverKilled(FaultCase):
    def test_driver_killed_mid_transfer_then_restarted(self):
        proc = self.start_big_retr()
        seen_before = {n: self.trace_count(n, "通信ドライバと未接続") for n in ("alice", "bob")}
        os.killpg(self.tunnel.driver.pid, 9)
        self.tunnel.driver.wait()
        elapsed = self.wait_client_error(proc)
        print("driver killed: FTP client error after %.1f s" % elapsed, file=sys.stderr)
        for name in ("alice", "bob"):
            e2e.wait_for(lambda: self.trace_count(name, "通信ドライバと未接続") > seen_before[name],
                         FAULT_DEADLINE_S, name + "'s status line to show the lost driver")
        e2e.wait_for(lambda: not self.tunnel.gate_open(), FAULT_DEADLINE_S,
                     "alice's streams to go")
        self.tunnel.start_driver()
        start = time.monotonic()
        # The Client's automatic connection retries every 60.1 s (kAutoConnectRetryMs).
        self.tunnel.wait_gate_open(timeout=GATE_REOPEN_S)
        print("driver restarted: gate open again after %.1f s" % (time.monotonic() - start),
              file=sys.stderr)
        self.small_retr_works("after-driver.bin")


DRIVER_RETURN_S = 20  # a new transfer works this soon after the driver is back


class DriverRestarted(FaultCase):
    def test_new_transfer_within_20_s_of_the_driver_restart(self):
        proc = self.start_big_retr()
        os.killpg(self.tunnel.driver.pid, 9)
        self.tunnel.driver.wait()
        self.wait_client_error(proc)
        e2e.wait_for(lambda: not self.tunnel.gate_open(), FAULT_DEADLINE_S,
                     "alice's streams to go")
        self.tunnel.start_driver()
        start = time.monotonic()
        # Both gateways re-attach and the Client's automatic connection
        # starts afresh: the same two gateway processes carry a new transfer.
        self.tunnel.wait_gate_open(timeout=DRIVER_RETURN_S)
        self.small_retr_works("after-restart.bin")
        elapsed = time.monotonic() - start
        print("driver restarted: new transfer done %.1f s after the restart" % elapsed,
              file=sys.stderr)
        self.assertLess(elapsed, DRIVER_RETURN_S)


class ClientPortTaken(FaultCase):
    """The Client's port is held by another program when the gate opens."""

    def test_port_in_use_is_shown_with_the_lamp_off_and_recovers_when_it_frees(self):
        if GATEWAY != "quillonftp":
            self.skipTest("the status line belongs to the windowed gateway")
        port = self.tunnel.client_port
        self.tunnel.stop_gateway("alice")
        e2e.wait_for(lambda: not self.tunnel.gate_open(), FAULT_DEADLINE_S,
                     "alice's listener to go")
        alice = self.tunnel.hosts["alice"]
        holder = alice.popen(
            [e2e.SYSTEM_PYTHON, "-c",
             "import socket, sys, time\n"
             "s = socket.socket()\n"
             "s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
             "s.bind(('127.0.0.1', int(sys.argv[1])))\n"
             "s.listen(1)\n"
             "print('ready', flush=True)\n"
             "time.sleep(3600)\n", str(port)], "port-holder")
        self.tunnel.processes.append(holder)
        e2e.wait_for(lambda: "ready" in e2e.read_text(os.path.join(alice.dir, "port-holder.out")),
                     10, "the port holder")
        os.remove(os.path.join(alice.dir, "gateway.out"))  # this run's trace only
        self.tunnel.start_gateway("alice", client_mode=True, peer="bob")
        failed = "UI status: ポート%dで待ち受けできません(使用中)!" % port
        e2e.wait_for(lambda: failed in self.tunnel.gateway_trace("alice"), 30,
                     "alice's status line to say the port is in use")
        trace = self.tunnel.gateway_trace("alice")
        self.assertIn("UI gate: open", trace)
        self.assertNotIn("UI status: Gateは開いています", trace)
        self.assertNotIn("UI lamps: local L green", trace)
        self.assertIn("UI lamps: local L black", trace)

        e2e.stop_process(holder)
        start = time.monotonic()
        e2e.wait_for(lambda: "UI listen: port %d open now" % port
                     in self.tunnel.gateway_trace("alice"), 10, "the listen to be retried")
        e2e.wait_for(lambda: "UI status: Gateは開いています"
                     in self.tunnel.gateway_trace("alice").split(failed)[-1], 5,
                     "alice's status line to return to the open gate")
        e2e.wait_for(lambda: "UI lamps: local L green" in self.tunnel.gateway_trace("alice"), 5,
                     "alice's local lamp to light")
        print("port freed: listening again after %.1f s" % (time.monotonic() - start),
              file=sys.stderr)
        self.small_retr_works("after-port.bin")


class ServerGatewayKilled(FaultCase):
    def test_server_gateway_killed_mid_transfer(self):
        proc = self.start_big_retr()
        self.tunnel.stop_gateway("bob", kill=True)
        elapsed = self.wait_client_error(proc)
        print("bob's gateway killed: FTP client error after %.1f s" % elapsed, file=sys.stderr)
        e2e.wait_for(lambda: not self.tunnel.gate_open(), FAULT_DEADLINE_S,
                     "alice's gate to close")
        self.tunnel.start_gateway("bob", client_mode=False, peer="alice")
        start = time.monotonic()
        self.tunnel.wait_gate_open(timeout=GATE_REOPEN_S)
        print("bob's gateway restarted: gate open again after %.1f s"
              % (time.monotonic() - start), file=sys.stderr)
        self.small_retr_works("after-bob.bin")


class FtpServerStopped(FaultCase):
    def test_new_connection_closed_promptly_while_the_server_is_down(self):
        e2e.stop_process(self.tunnel.ftp_server)
        start = time.monotonic()
        result = self.tunnel.ftp(["list"], timeout=60, client_timeout=20)
        elapsed = time.monotonic() - start
        print("FTP server down: client refused after %.1f s" % elapsed, file=sys.stderr)
        self.assertFalse(result["ok"])
        self.assertLess(elapsed, FAULT_DEADLINE_S)
        self.assertTrue(self.tunnel.gate_open(), "the gate itself stays open")
        if GATEWAY == "quillonftp":
            # Both status lines say what failed, the Server's with where.
            if self.tunnel.isolation == "none":
                where = "127.0.0.1:%d" % self.tunnel.server_port
            else:
                where = "localhost:21"
            e2e.wait_for(lambda: "UI status: FTPサーバ%sに接続できません(接続拒否)!" % where
                         in self.tunnel.gateway_trace("bob"), 5, "bob's status line")
            e2e.wait_for(lambda: "UI status: 相手側でFTPサーバに接続できませんでした!"
                         in self.tunnel.gateway_trace("alice"), 5, "alice's status line")
        self.tunnel.start_ftp_server()
        self.small_retr_works("after-server.bin")


class ClientFaults(FaultCase):
    def test_client_killed_mid_transfer_then_next_session_works(self):
        proc = self.start_big_retr()
        os.killpg(proc.pid, 9)
        proc.wait()
        proc.stdout.close()
        proc.stderr.close()
        self.small_retr_works("after-kill.bin")

    def test_abor_during_retr_then_next_session_works(self):
        big = os.path.join(self.tunnel.ftp_root, "huge.bin")
        e2e.write_random_file(big, BIG_SIZE, seed=11)
        result = self.tunnel.ftp(["abor:huge.bin:200000", "list"], timeout=120)
        self.assertFtpOk(result)
        self.assertLess(result["results"][0]["bytes"], BIG_SIZE)
        self.small_retr_works("after-abor.bin")


def open_descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def resident_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class LongRun(TunnelCase):
    SESSIONS = 100
    RSS_MARGIN_KB = 2048
    FD_MARGIN = 2

    def test_hundred_sessions_on_one_gate_leak_nothing(self):
        small = os.path.join(self.tunnel.ftp_root, "small.bin")
        e2e.write_random_file(small, 20 * 1000, seed=9)
        expected = e2e.sha256_of(small)
        pids = {name: proc.pid for name, proc in self.tunnel.gateways.items()}
        at_tenth = {}
        for i in range(1, self.SESSIONS + 1):
            down = self.alice_path("s.bin")
            result = self.tunnel.ftp(["retr:small.bin:" + down], timeout=60)
            self.assertFtpOk(result)
            self.assertEqual(result["results"][0]["sha256"], expected, "session %d" % i)
            if i == 10:
                time.sleep(1)
                at_tenth = {n: (open_descriptors(p), resident_kb(p)) for n, p in pids.items()}
        time.sleep(1)
        for name, pid in pids.items():
            fds, rss = open_descriptors(pid), resident_kb(pid)
            print("%s: after 10 sessions %d fds %d kB, after %d sessions %d fds %d kB"
                  % (name, at_tenth[name][0], at_tenth[name][1], self.SESSIONS, fds, rss),
                  file=sys.stderr)
            self.assertLessEqual(fds, at_tenth[name][0] + self.FD_MARGIN, name)
            self.assertLessEqual(rss, at_tenth[name][1] + self.RSS_MARGIN_KB, name)


class GateAndLamps(FaultCase):
    """What the panels show (their "-D583" traces) while a transfer runs, and
    closing the gate from the Client with "--post close-gate"."""

    LAMPS_ON = "UI lamps: local C green, peer P green"

    def test_lamps_during_a_transfer_then_close_gate_ends_both_sides(self):
        if GATEWAY != "quillonftp":
            self.skipTest("the panels belong to the windowed gateway")
        proc = self.start_big_retr()
        for name in ("alice", "bob"):
            e2e.wait_for(lambda: self.LAMPS_ON in self.tunnel.gateway_trace(name), 10,
                         name + "'s lamps to show the connection")
        self.assertIsNone(proc.poll(), "the transfer ended before the lamps were seen")
        e2e.stop_process(proc)
        proc.stdout.close()
        proc.stderr.close()

        closed_before = {n: self.trace_count(n, "UI gate: closed") for n in ("alice", "bob")}
        alice = self.tunnel.hosts["alice"]
        post = alice.run([os.path.join(alice.dir, GATEWAY), "--post", "close-gate"], timeout=20,
                         env={"XDG_RUNTIME_DIR": alice.run_dir})
        self.assertEqual(post.returncode, 0, post.stderr)
        for name in ("alice", "bob"):
            e2e.wait_for(lambda: self.trace_count(name, "UI gate: closed") > closed_before[name],
                         10, name + "'s panel to show the gate closed")
        e2e.wait_for(lambda: not self.tunnel.gate_open(), 10, "alice's listener to close")
        self.assertIn("stream closed (disconnect by alice)", self.tunnel.driver_log())
        # The status line follows on its next 500 ms refresh.
        e2e.wait_for(lambda: "UI status: Gateは閉じています" in self.tunnel.gateway_trace("bob"),
                     10, "bob's status line to show the gate closed")


SECOND_ADDRESS = "127.0.0.2"  # another address of alice's host, not the FTP client's


class Exposure(FaultCase):
    def test_listeners_accept_only_on_loopback_by_default(self):
        if self.tunnel.isolation == "none":
            self.skipTest("needs alice's own network namespace")
        alice = self.tunnel.hosts["alice"]
        probe = alice.run([e2e.SYSTEM_PYTHON, "-c",
                           "import socket,sys\n"
                           "s=socket.socket();s.settimeout(3)\n"
                           "sys.exit(s.connect_ex(('%s',%d)))" % (SECOND_ADDRESS,
                                                                   self.tunnel.client_port)],
                          timeout=20)
        self.assertNotEqual(probe.returncode, 0, "port 21 accepted from " + SECOND_ADDRESS)
        result = self.tunnel.ftp(["probe-pasv:" + SECOND_ADDRESS], timeout=60)
        self.assertFtpOk(result)
        self.assertEqual(result["results"][0]["announced"], "127.0.0.1")
        self.assertFalse(result["results"][0]["accepted_at_" + SECOND_ADDRESS],
                         "the data-link listener accepted from " + SECOND_ADDRESS)

    def test_nolocalonly_opens_the_control_port_to_other_addresses(self):
        if self.tunnel.isolation == "none":
            self.skipTest("needs alice's own network namespace")
        self.tunnel.stop_gateway("alice")
        self.tunnel.start_gateway("alice", client_mode=True, peer="bob",
                                  extra_args=["-NOLOCALONLY"])
        self.tunnel.wait_gate_open(timeout=60)
        alice = self.tunnel.hosts["alice"]
        steps = ["list"]
        argv = [e2e.SYSTEM_PYTHON, os.path.join(e2e.HERE, "ftp_client.py"), "--host",
                SECOND_ADDRESS, "--port", str(self.tunnel.client_port)] + steps
        result = alice.run(argv, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_driver_sockets_are_owner_only(self):
        import stat
        for name, path in self.tunnel.sockets.items():
            mode = stat.S_IMODE(os.stat(path).st_mode)
            self.assertEqual(mode & 0o077, 0, "%s's socket is mode %o" % (name, mode))


class StrangerRefused(unittest.TestCase):
    """Streams offered to bob's Server gateway by someone bob does not accept.

    Only bob's gateway runs, so no other stream exists and nothing but the
    acceptance rule can refuse the stream.
    """

    def start_bob(self, enable_user, bob_contacts):
        tunnel = e2e.Tunnel(BUILD_DIR, gateway=GATEWAY, extra_accounts={"carol": "bob"},
                            contacts={"alice": "bob", "bob": bob_contacts},
                            enable_user=enable_user)
        self.addCleanup(tunnel.close)
        for name in ("alice", "bob"):
            tunnel.hosts[name] = e2e.Host(name, tunnel.workdir, tunnel.isolation)
        tunnel.start_driver()
        tunnel.start_ftp_server()
        tunnel.start_gateway("bob", client_mode=False, peer="alice")
        e2e.wait_for(lambda: "CREATE REPLY OK" in tunnel.gateway_trace("bob"), 30,
                     "bob's gateway to register its application")
        return tunnel

    def carol_connects(self, tunnel):
        console = subprocess.run(
            [tunnel.program("quillon-driver"), "--console", tunnel.sockets["carol"]],
            input="CREATE APPLICATION QuillonForFtp2000\n"
                  "ALTER APPLICATION QuillonForFtp2000 CONNECT bob\n",
            capture_output=True, text=True, timeout=30)
        streams = [line.rstrip() for line in console.stdout.splitlines() if " STREAMS" in line]
        return console.stdout, streams

    def test_contact_who_is_not_the_selected_one_is_refused(self):
        # ENABLEUSER 0: only the selected contact (alice, the first) is accepted.
        tunnel = self.start_bob(enable_user=0, bob_contacts="alice, carol")
        output, streams = self.carol_connects(tunnel)
        self.assertTrue(streams and not streams[0].endswith("STREAMS"),
                        "the driver never opened carol's stream:\n" + output)
        self.assertTrue(streams[-1].endswith("STREAMS"),
                        "bob's gateway kept carol's stream:\n" + output)

    def test_someone_who_is_not_a_contact_gets_no_stream(self):
        # ENABLEUSER 1 accepts any of bob's contacts; carol is none of them.
        # The driver, like the messaging network, opens streams only between
        # mutual contacts, so carol is refused before bob's gateway hears of her.
        tunnel = self.start_bob(enable_user=1, bob_contacts="alice")
        output, streams = self.carol_connects(tunnel)
        self.assertIn("ERROR 547", output)
        self.assertTrue(all(line.endswith("STREAMS") for line in streams), output)


class ExtendedModes(TunnelCase):
    def test_curl_defaults_use_epsv_without_falling_back(self):
        down = self.alice_path("epsv.bin")
        result = self.curl(["-o", down, self.url("big.bin")])
        self.assertEqual(result.returncode, 0, result.stderr[-3000:])
        self.assertIn("229 ", result.stderr)
        self.assertNotIn("disabling EPSV", result.stderr)
        import re
        ports = [int(p) for p in re.findall(r"229 .*\(\|\|\|(\d+)\|\)", result.stderr)]
        self.assertTrue(ports and all(p not in PASSIVE_RANGE for p in ports), ports)
        self.assertNotIn("PASV", result.stderr.replace("EPSV", ""))
        self.assertEqual(e2e.sha256_of(down), self.source_sha)

    def test_curl_active_mode_uses_eprt(self):
        down = self.alice_path("eprt.bin")
        before = len(self.server_commands("EPRT"))
        result = self.curl(["--ftp-port", "-", "-o", down, self.url("big.bin")])
        self.assertEqual(result.returncode, 0, result.stderr[-3000:])
        self.assertIn("EPRT |1|", result.stderr)
        self.assertNotIn("disabling EPRT", result.stderr)
        self.assertEqual(e2e.sha256_of(down), self.source_sha)
        eprts = self.server_commands("EPRT")[before:]
        self.assertTrue(eprts, "the server saw no EPRT")
        self.assertTrue(all(arg.startswith("|1|127.0.0.1|") for arg in eprts), eprts)

    def test_lftp_prefers_epsv(self):
        down = self.alice_path("lftp.bin")
        alice = self.tunnel.hosts["alice"]
        result = alice.run(
            ["lftp", "-u", "demo,demo", "-e",
             "set ftp:prefer-epsv yes; set ftp:passive-mode yes; set net:max-retries 1; "
             "set net:timeout 20; debug 5; get big.bin -o %s; bye" % down,
             "ftp://127.0.0.1:%d" % self.tunnel.client_port], timeout=300)
        self.assertEqual(result.returncode, 0, result.stdout[-2000:] + result.stderr[-2000:])
        output = result.stdout + result.stderr
        self.assertIn("---> EPSV", output)
        self.assertNotIn("---> PASV", output)
        self.assertEqual(e2e.sha256_of(down), self.source_sha)
        # The port the client was given is the gateway's listener, not one of
        # the server's own passive ports.
        import re
        ports = [int(p) for p in re.findall(r"229 .*\(\|\|\|(\d+)\|\)", output)]
        self.assertTrue(ports, output[-2000:])
        self.assertTrue(all(p not in PASSIVE_RANGE for p in ports), ports)


SANITIZER_REPORTS = ("WARNING: ThreadSanitizer", "ERROR: AddressSanitizer",
                     "ERROR: LeakSanitizer", "runtime error:")


class SanitizedTransfer(TunnelCase):
    """One passive transfer each way, then a clean stop of both gateways and the
    driver: each must exit 0 with no sanitizer report (in a sanitizer build)."""

    def test_transfer_and_clean_stop_without_reports(self):
        down = self.alice_path("sanitized.bin")
        up, up_sha = self.upload_source("sanitized-up.bin")
        result = self.tunnel.ftp(["retr:big.bin:" + down, "stor:%s:sanitized-up.bin" % up],
                                 timeout=600)
        self.assertFtpOk(result)
        self.assertEqual(e2e.sha256_of(down), self.source_sha)
        self.assertEqual(e2e.sha256_of(os.path.join(self.tunnel.ftp_root, "sanitized-up.bin")),
                         up_sha)
        stopped = {}
        for name in ("alice", "bob"):
            proc = self.tunnel.gateways[name]
            self.tunnel.stop_gateway(name)
            stopped[name] = proc.returncode
        e2e.stop_process(self.tunnel.driver)
        logs = {name: e2e.read_text(os.path.join(self.tunnel.hosts[name].dir, "gateway.err"))
                for name in ("alice", "bob")}
        logs["driver"] = self.tunnel.driver_log()
        for name, text in logs.items():
            for report in SANITIZER_REPORTS:
                self.assertNotIn(report, text, "%s:\n%s" % (name, text[-4000:]))
        self.assertEqual(stopped, {"alice": 0, "bob": 0})
        self.assertEqual(self.tunnel.driver.returncode, 0)


BACK_TO_BACK_SIZE = 64 * 1000
BACK_TO_BACK_ROUNDS = 5
BACK_TO_BACK_RUN = 20


class BackToBack(TunnelCase):
    """Sessions and data links that follow each other with no pause: the end of
    one must never reach the next. Every transfer is made once (no retries)
    and checked whole by SHA-256."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.small = os.path.join(cls.tunnel.ftp_root, "b2b.bin")
        e2e.write_random_file(cls.small, BACK_TO_BACK_SIZE, seed=15)
        cls.small_sha = e2e.sha256_of(cls.small)

    def bash(self, script, timeout=120):
        return self.tunnel.hosts["alice"].run(["bash", "-c", script], timeout=timeout)

    def curl_line(self, out):
        # One attempt, no retry; a failure prints curl's own error line.
        return "curl -sS --max-time 30 --user demo:demo -o %s %s" % (out, self.url("b2b.bin"))

    def assertWhole(self, path, what):
        self.assertTrue(os.path.exists(path), "%s: nothing downloaded" % what)
        self.assertEqual(e2e.sha256_of(path), self.small_sha, "%s: not whole" % what)

    def test_probe_then_download_at_once(self):
        # A port check that opens and closes the Client's port, and the real
        # download right behind it, from one shell: no pause between them.
        probe = "exec 3<>/dev/tcp/127.0.0.1/%d; exec 3>&-" % self.tunnel.client_port
        for round_ in range(BACK_TO_BACK_ROUNDS):
            out = self.alice_path("probed-%d.bin" % round_)
            result = self.bash("%s; %s" % (probe, self.curl_line(out)))
            self.assertEqual(result.returncode, 0, "round %d: %s" % (round_, result.stderr))
            self.assertWhole(out, "round %d" % round_)

    def test_downloads_in_a_row(self):
        outs = [self.alice_path("row-%d.bin" % i) for i in range(BACK_TO_BACK_RUN)]
        script = "; ".join("%s || echo 'download %d failed' >&2" % (self.curl_line(out), i)
                           for i, out in enumerate(outs))
        result = self.bash(script, timeout=60 + 10 * BACK_TO_BACK_RUN)
        self.assertEqual(result.stderr.strip(), "", result.stderr)
        for i, out in enumerate(outs):
            self.assertWhole(out, "download %d" % i)

    def check_list_retr_pairs(self, active):
        mode = "active" if active else "passive"
        outs = [self.alice_path("pair-%s-%d.bin" % (mode, i)) for i in range(BACK_TO_BACK_RUN)]
        steps = []
        for out in outs:
            steps += ["list", "retr:b2b.bin:" + out]
        result = self.tunnel.ftp(steps, active=active, timeout=300)
        self.assertFtpOk(result)
        self.assertEqual(len(result["results"]), 2 * BACK_TO_BACK_RUN)
        for i, out in enumerate(outs):
            listing, retr = result["results"][2 * i], result["results"][2 * i + 1]
            self.assertTrue(any("b2b.bin" in line for line in listing["lines"]),
                            "%s pair %d: %s" % (mode, i, listing))
            self.assertEqual(retr["bytes"], BACK_TO_BACK_SIZE, "%s pair %d" % (mode, i))
            self.assertEqual(retr["sha256"], self.small_sha, "%s pair %d" % (mode, i))
            self.assertWhole(out, "%s pair %d" % (mode, i))

    def test_list_retr_pairs_passive(self):
        self.check_list_retr_pairs(active=False)

    def test_list_retr_pairs_active(self):
        self.check_list_retr_pairs(active=True)


def main():
    global BUILD_DIR, GATEWAY
    e2e.list_cases_if_asked(__name__)
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--gateway", default="quillonftp")
    args, rest = parser.parse_known_args()
    BUILD_DIR = args.build
    GATEWAY = args.gateway
    unittest.main(argv=[sys.argv[0], "-v"] + rest)


if __name__ == "__main__":
    main()
