#!/usr/bin/python3
"""A hostile contact against a real gateway, through the real driver.

The victim gateway runs in its own network namespace beside a canary: a
listener on a loopback port that nothing honest ever connects to. The
contact speaks hand-made tunnel packets (hostile_peer.py). Each attack must
be refused: the canary sees no connection, the gateway stays attached and
answers promptly.

Run one test:  test_hostile.py --build BUILD_DIR TestClass.test_name
"""
import argparse
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hostile_peer as hp  # noqa: E402
import quillon_e2e as e2e  # noqa: E402

BUILD_DIR = None
GATEWAY = "quillonftp"
CANARY_PORT = 6379

CANARY = r"""
import socket, sys
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1])))
s.listen(16)
print("listening", flush=True)
while True:
    c, a = s.accept()
    print("connection from %s:%d" % a, flush=True)
    c.close()
"""


VSFTPD = "/usr/sbin/vsftpd"
SMALL_FILE = 200 * 1000


def start_vsftpd(tunnel, host_name="bob"):
    """A throw-away vsftpd with its own configuration, in the host's namespace,
    serving tunnel.ftp_root to anonymous users. Everything not set here keeps
    vsftpd's defaults, among them the strict ones: a PORT must name the
    control connection's client, and a passive data connection must come
    from it (port_promiscuous, pasv_promiscuous off)."""
    host = tunnel.hosts[host_name]
    root = os.path.join(tunnel.workdir, "vsftpd-root")
    empty = os.path.join(tunnel.workdir, "vsftpd-empty")
    upload = os.path.join(root, "up")
    for path, mode in ((root, 0o755), (empty, 0o755), (upload, 0o755)):
        os.makedirs(path, exist_ok=True)
        os.chmod(path, mode)
    import pwd
    ftp_user = pwd.getpwnam("ftp")
    os.chown(upload, ftp_user.pw_uid, ftp_user.pw_gid)
    # The harness's FTP root is where the tests put their files.
    tunnel.ftp_root = root
    tunnel.server_log = os.path.join(tunnel.workdir, "vsftpd.log")
    config = os.path.join(tunnel.workdir, "vsftpd.conf")
    with open(config, "w") as f:
        f.write("\n".join([
            "listen=YES", "listen_ipv6=NO", "listen_address=127.0.0.1",
            "listen_port=%d" % tunnel.server_port, "background=NO",
            "anonymous_enable=YES", "local_enable=NO", "no_anon_password=YES",
            "anon_root=" + root, "write_enable=YES", "anon_upload_enable=YES",
            "secure_chroot_dir=" + empty, "pasv_min_port=30000", "pasv_max_port=30099",
            "seccomp_sandbox=NO", "xferlog_enable=YES", "xferlog_std_format=NO",
            "log_ftp_protocol=YES", "vsftpd_log_file=" + tunnel.server_log, ""]))
    tunnel.ftp_server = host.popen([VSFTPD, config], "vsftpd")
    tunnel.processes.append(tunnel.ftp_server)
    e2e.wait_for(lambda: tunnel.server_port in host.listening_ports()
                 or tunnel.ftp_server.poll() is not None, 15, "vsftpd")
    if tunnel.ftp_server.poll() is not None:
        raise e2e.SetupError("vsftpd ended at start: "
                             + e2e.read_text(os.path.join(host.dir, "vsftpd.err")))


def canary_port(tunnel):
    return CANARY_PORT if tunnel.isolation != "none" else e2e.free_port()


class VictimCase(unittest.TestCase):
    """Sets up the driver, the victim's host with its canary, and the hostile
    contact's socket; the subclass starts the victim gateway."""

    victim = None

    def make_tunnel(self, contacts, extra_accounts, enable_user=1):
        tunnel = e2e.Tunnel(BUILD_DIR, gateway=GATEWAY, extra_accounts=extra_accounts,
                            contacts=contacts, enable_user=enable_user)
        self.addCleanup(self.cleanup, tunnel)
        for name in ("alice", "bob"):
            tunnel.hosts[name] = e2e.Host(name, tunnel.workdir, tunnel.isolation)
        tunnel.start_driver()
        return tunnel

    def cleanup(self, tunnel):
        tunnel.close()
        if not os.environ.get("QUILLON_E2E_KEEP"):
            import shutil
            shutil.rmtree(tunnel.workdir, ignore_errors=True)
        else:
            print("logs kept in " + tunnel.workdir, file=sys.stderr)

    def start_canary(self, tunnel, host_name):
        host = tunnel.hosts[host_name]
        self.canary_port = canary_port(tunnel)
        proc = host.popen([e2e.SYSTEM_PYTHON, "-c", CANARY, str(self.canary_port)], "canary")
        tunnel.processes.append(proc)
        self.canary_log = os.path.join(host.dir, "canary.out")
        e2e.wait_for(lambda: "listening" in e2e.read_text(self.canary_log), 10, "the canary")

    def assertCanaryUntouched(self, settle=1.0):
        time.sleep(settle)
        text = e2e.read_text(self.canary_log)
        self.assertNotIn("connection from", text, "something reached the canary")

    def peer(self, tunnel, handle):
        client = hp.DriverClient(tunnel.sockets[handle])
        self.addCleanup(client.close)
        client.register()
        return client

    def assertAnswersPromptly(self, client, key, within=5.0):
        """The victim still reads its stream and answers: a refused data link
        comes back at once."""
        start = time.monotonic()
        client.send(key, (hp.KIND_DATA_LINK_MESSAGE, hp.CONNECT_REQUEST, self.canary_port, b""))
        reply = client.receive(key, lambda p: p["kind"] == hp.KIND_DATA_LINK_MESSAGE
                               and p["code"] == hp.CONNECT_REPLY, timeout=within + 10)
        self.assertLess(time.monotonic() - start, within)
        return reply


class HostileAgainstServer(VictimCase):
    """bob's Server gateway (ENABLEUSER 1) beside the FTP server (pyftpdlib);
    mallory is one of bob's contacts and holds bob's only stream."""

    login = b"USER demo\r\nPASS demo\r\n"

    def start_server(self):
        self.tunnel.start_ftp_server()

    def setUp(self):
        self.tunnel = self.make_tunnel({"alice": "bob", "bob": "alice, mallory"},
                                       {"mallory": "bob"})
        self.start_server()
        self.start_canary(self.tunnel, "bob")
        self.tunnel.start_gateway("bob", client_mode=False, peer="alice")
        e2e.wait_for(lambda: "CREATE REPLY OK" in self.tunnel.gateway_trace("bob"), 30,
                     "bob's gateway to register its application")
        self.mallory = self.peer(self.tunnel, "mallory")
        self.key = self.mallory.connect("bob")

    def control_session(self):
        """A control connection to bob's FTP server, logged in."""
        m, key = self.mallory, self.key
        m.send(key, (hp.KIND_CONTROL_MESSAGE, hp.CONNECT_REQUEST, 21, b""))
        reply = m.receive(key, lambda p: p["kind"] == hp.KIND_CONTROL_MESSAGE
                          and p["code"] == hp.CONNECT_REPLY)
        self.assertEqual(reply["result"], 1, "an honest control connection is still made")
        m.receive(key, lambda p: p["kind"] == hp.KIND_CONTROL_DATA
                  and p["payload"].startswith(b"220"))
        m.send(key, (hp.KIND_CONTROL_DATA, 0, 21, self.login))
        m.receive(key, lambda p: p["kind"] == hp.KIND_CONTROL_DATA and b"230" in p["payload"])

    def test_data_link_to_any_local_port_is_refused(self):
        reply = self.assertAnswersPromptly(self.mallory, self.key)
        self.assertEqual(reply["result"], 2)
        self.assertCanaryUntouched()
        self.assertIn("for port %d not announced" % self.canary_port,
                      self.tunnel.gateway_trace("bob"))

    def transfer_ends(self):
        """Waits for the end of a transfer's reply; a data link bob's gateway
        asks for on the way is refused (mallory has nothing to connect)."""
        m, key = self.mallory, self.key

        def is_end(p):
            if p["kind"] == hp.KIND_DATA_LINK_MESSAGE and p["code"] == hp.CONNECT_REQUEST:
                m.send(key, (hp.KIND_DATA_LINK_MESSAGE, hp.CONNECT_REPLY, p["port"], b"", 2))
                return False
            return p["kind"] == hp.KIND_CONTROL_DATA and any(
                code in p["payload"] for code in (b"226", b"425", b"426", b"450", b"500", b"501"))
        m.receive(key, is_end, timeout=30)

    def test_port_in_a_later_line_or_split_never_bounces(self):
        self.control_session()
        m, key = self.mallory, self.key
        hi, lo = divmod(self.canary_port, 256)
        bounce = b"PORT 127,0,0,1,%d,%d\r\n" % (hi, lo)
        m.send(key, (hp.KIND_CONTROL_DATA, 0, 21, b"NOOP\r\n" + bounce))
        m.send(key, (hp.KIND_CONTROL_DATA, 0, 21, b"LIST\r\n"))
        self.transfer_ends()
        m.send(key, (hp.KIND_CONTROL_DATA, 0, 21, bounce[:12]))
        m.send(key, (hp.KIND_CONTROL_DATA, 0, 21, bounce[12:] + b"LIST\r\n"))
        self.transfer_ends()
        self.assertCanaryUntouched()
        # The server was told to connect to bob's gateway, not to the canary.
        log = e2e.read_text(self.tunnel.server_log)
        self.assertEqual(log.count("PORT 127,0,0,1,"), 2, log[-2000:])
        self.assertNotIn("PORT 127,0,0,1,%d,%d" % (hi, lo), log)

    def test_stream_flood_leaves_the_link_attached(self):
        m = self.mallory
        for _ in range(62):
            m.command("ALTER APPLICATION %s CONNECT bob" % hp.APP)
        # Every extra stream is refused; the first one still works.
        e2e.wait_for(lambda: m.streams() == [self.key], 30, "bob to refuse the extra streams")
        reply = self.assertAnswersPromptly(m, self.key)
        self.assertEqual(reply["result"], 2)
        self.tunnel.check_alive()
        self.assertNotIn("floods the link", self.tunnel.gateway_trace("bob"))
        self.assertNotIn("bob detached", self.tunnel.driver_log())


class HostileAgainstVsftpd(HostileAgainstServer):
    """The same against vsftpd with its strict defaults: every session comes
    from bob's gateway on 127.0.0.1, so only the gateway can stop a bounce."""

    login = b"USER anonymous\r\nPASS x@example.org\r\n"

    def start_server(self):
        start_vsftpd(self.tunnel)


class HonestVsftpd(unittest.TestCase):
    """The honest paths through both gateways to vsftpd with its strict
    defaults: passive and active, classic and extended, curl and lftp."""

    tunnel = None

    @classmethod
    def setUpClass(cls):
        cls.tunnel = e2e.Tunnel(BUILD_DIR, gateway=GATEWAY)
        try:
            for name in ("alice", "bob"):
                cls.tunnel.hosts[name] = e2e.Host(name, cls.tunnel.workdir, cls.tunnel.isolation)
            cls.tunnel.start_driver()
            start_vsftpd(cls.tunnel)
            cls.source = os.path.join(cls.tunnel.ftp_root, "small.bin")
            e2e.write_random_file(cls.source, SMALL_FILE, seed=3)
            os.chmod(cls.source, 0o644)
            cls.sha = e2e.sha256_of(cls.source)
            cls.tunnel.start_gateway("bob", client_mode=False, peer="alice")
            cls.tunnel.start_gateway("alice", client_mode=True, peer="bob")
            cls.tunnel.wait_gate_open(timeout=60)
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if cls.tunnel is not None:
            cls.tunnel.close()
            if not os.environ.get("QUILLON_E2E_KEEP"):
                import shutil
                shutil.rmtree(cls.tunnel.workdir, ignore_errors=True)
            else:
                print("logs kept in " + cls.tunnel.workdir, file=sys.stderr)

    def url(self, name):
        return "ftp://127.0.0.1:%d/%s" % (self.tunnel.client_port, name)

    def curl(self, args):
        return self.tunnel.hosts["alice"].run(
            ["curl", "-sS", "-v", "--max-time", "60"] + args, timeout=90)

    def download(self, name, args, expect):
        down = os.path.join(self.tunnel.hosts["alice"].dir, name)
        result = self.curl(args + ["-o", down, self.url("small.bin")])
        self.assertEqual(result.returncode, 0, result.stderr[-3000:])
        self.assertIn(expect, result.stderr)
        self.assertEqual(e2e.sha256_of(down), self.sha)

    def test_curl_epsv(self):
        self.download("epsv.bin", [], "> EPSV")

    def test_curl_pasv(self):
        self.download("pasv.bin", ["--disable-epsv"], "> PASV")

    def test_curl_eprt(self):
        self.download("eprt.bin", ["--ftp-port", "-"], "> EPRT |1|127.0.0.1|")

    def test_curl_port(self):
        self.download("port.bin", ["--ftp-port", "-", "--disable-eprt"], "> PORT 127,0,0,1,")

    def test_curl_upload(self):
        up = os.path.join(self.tunnel.hosts["alice"].dir, "upload.bin")
        e2e.write_random_file(up, SMALL_FILE, seed=5)
        result = self.curl(["-T", up, self.url("up/upload.bin")])
        self.assertEqual(result.returncode, 0, result.stderr[-3000:])
        self.assertEqual(e2e.sha256_of(os.path.join(self.tunnel.ftp_root, "up", "upload.bin")),
                         e2e.sha256_of(up))

    def test_lftp_passive_and_active(self):
        for passive in ("yes", "no"):
            down = os.path.join(self.tunnel.hosts["alice"].dir, "lftp-%s.bin" % passive)
            result = self.tunnel.hosts["alice"].run(
                ["lftp", "-u", "anonymous,x@example.org", "-e",
                 "set ftp:passive-mode %s; set net:max-retries 1; set net:timeout 20; "
                 "get small.bin -o %s; bye" % (passive, down),
                 "ftp://127.0.0.1:%d" % self.tunnel.client_port], timeout=90)
            self.assertEqual(result.returncode, 0, passive + ": " + result.stderr[-2000:])
            self.assertEqual(e2e.sha256_of(down), self.sha, passive)


class HostileAgainstClient(VictimCase):
    """alice's Client gateway; "bob" (the contact alice's gate opens to) is
    hostile, and so is mallory, another of alice's contacts."""

    gateway_args = ()

    def setUp(self):
        self.tunnel = self.make_tunnel({"alice": "bob, mallory", "bob": "alice"},
                                       {"mallory": "alice"})
        self.start_canary(self.tunnel, "alice")
        self.bob = self.peer(self.tunnel, "bob")
        self.tunnel.start_gateway("alice", client_mode=True, peer="bob",
                                  extra_args=self.gateway_args)
        note = self.bob.wait_note(
            lambda n: n.startswith("APPLICATION %s STREAMS alice:" % hp.APP), 60)
        self.key = note.split(" ", 3)[3].split()[0]
        self.tunnel.wait_gate_open(timeout=30)

    def test_control_connect_request_is_refused(self):
        self.bob.send(self.key, (hp.KIND_CONTROL_MESSAGE, hp.CONNECT_REQUEST, 21, b""))
        reply = self.bob.receive(self.key, lambda p: p["kind"] == hp.KIND_CONTROL_MESSAGE
                                 and p["code"] == hp.CONNECT_REPLY)
        self.assertEqual(reply["result"], 2)
        self.assertTrue(self.tunnel.gate_open(), "the Client's listener is still there")

    def test_data_link_to_any_local_port_is_refused(self):
        reply = self.assertAnswersPromptly(self.bob, self.key)
        self.assertEqual(reply["result"], 2)
        self.assertCanaryUntouched()

    def test_passive_reply_split_or_multi_line_never_sends_curl_elsewhere(self):
        """bob plays the FTP server for alice's curl and answers EPSV with a
        multi-line 229 whose lines name the canary, the last one split over
        two packets. curl must be given only alice's own data listener."""
        alice = self.tunnel.hosts["alice"]
        up = os.path.join(alice.dir, "secret.txt")
        with open(up, "w") as f:
            f.write("the user's file\n")
        curl = alice.popen(["curl", "-sS", "-v", "--max-time", "15", "-T", up,
                            "ftp://127.0.0.1:%d/secret.txt" % self.tunnel.client_port], "curl")
        self.tunnel.processes.append(curl)
        bob, key = self.bob, self.key
        answers = {b"USER": b"331 Send the password.\r\n", b"PASS": b"230 Welcome.\r\n",
                   b"PWD": b'257 "/" is here.\r\n', b"TYPE": b"200 Binary.\r\n",
                   b"CWD": b"250 Okay.\r\n", b"SIZE": b"550 No such file.\r\n"}
        attack = 0
        pending = b""
        deadline = time.monotonic() + 20
        while curl.poll() is None and time.monotonic() < deadline:
            try:
                p = bob.receive(key, lambda _: True, timeout=2)
            except TimeoutError:
                continue
            if p["kind"] == hp.KIND_CONTROL_MESSAGE and p["code"] == hp.CONNECT_REQUEST:
                bob.send(key, (hp.KIND_CONTROL_MESSAGE, hp.CONNECT_REPLY, p["port"], b"", 1))
                bob.send(key, (hp.KIND_CONTROL_DATA, 0, 21, b"220 Hello.\r\n"))
            elif p["kind"] == hp.KIND_DATA_LINK_MESSAGE and p["code"] == hp.CONNECT_REQUEST:
                bob.send(key, (hp.KIND_DATA_LINK_MESSAGE, hp.CONNECT_REPLY, p["port"], b"", 2))
            elif p["kind"] == hp.KIND_CONTROL_DATA:
                pending += p["payload"]
                while b"\r\n" in pending:
                    line, pending = pending.split(b"\r\n", 1)
                    word = line.split(b" ")[0].upper()
                    if word in (b"EPSV", b"PASV"):
                        attack += 1
                        port = b"%d" % self.canary_port
                        bob.send(key, (hp.KIND_CONTROL_DATA, 0, 21,
                                       b"229-Entering Extended Passive Mode (|||" + port
                                       + b"|)\r\n 227 (127,0,0,1,%d,%d)\r\n229 Entering (|||"
                                       % divmod(self.canary_port, 256)))
                        bob.send(key, (hp.KIND_CONTROL_DATA, 0, 21, port + b"|)\r\n"))
                    elif word in answers:
                        bob.send(key, (hp.KIND_CONTROL_DATA, 0, 21, answers[word]))
                    else:
                        bob.send(key, (hp.KIND_CONTROL_DATA, 0, 21, b"502 No.\r\n"))
        e2e.stop_process(curl)
        self.assertGreater(attack, 0, "curl never asked for a data connection: "
                           + e2e.read_text(os.path.join(alice.dir, "curl.err"))[-2000:])
        self.assertCanaryUntouched()
        verbose = e2e.read_text(os.path.join(alice.dir, "curl.err"))
        self.assertNotIn("|||%d|" % self.canary_port, verbose)
        self.assertIn("229 Entering (|||", verbose)

class HostileAgainstClosedClient(VictimCase):
    """alice's Client gateway (ENABLEUSER 1) whose gate is closed: bob, the
    contact it is set to, is not there. mallory, another of alice's
    contacts, opens a stream to it."""

    def setUp(self):
        self.tunnel = self.make_tunnel({"alice": "bob, mallory", "bob": "alice"},
                                       {"mallory": "alice"})
        self.tunnel.start_gateway("alice", client_mode=True, peer="bob")
        e2e.wait_for(lambda: "CREATE REPLY OK" in self.tunnel.gateway_trace("alice"), 30,
                     "alice's gateway to register its application")

    def test_unselected_contact_gets_no_stream(self):
        mallory = self.peer(self.tunnel, "mallory")
        key = mallory.connect("alice")  # the driver opens it ...
        self.assertTrue(key.startswith("alice:"))
        # ... and alice's gateway closes it at once.
        e2e.wait_for(lambda: mallory.streams() == [], 20, "alice to refuse mallory's stream")
        self.assertFalse(self.tunnel.gate_open(), "the gate opened for mallory")


class HostileAgainstOpenClient(VictimCase):
    """alice's Client gateway with -NOLOCALONLY, reached by an FTP client on
    another address of alice's host ("the LAN"), while "bob" is hostile."""

    LAN = "127.0.0.2"

    def setUp(self):
        if e2e.choose_isolation() == "none":
            self.skipTest("needs alice's own network namespace")
        HostileAgainstClient.setUp(self)

    gateway_args = ("-NOLOCALONLY",)

    def test_port_must_name_the_client_and_the_link_goes_back_there(self):
        alice = self.tunnel.hosts["alice"]
        hi, lo = divmod(self.canary_port, 256)
        # The LAN client: from 127.0.0.2, listening there on the canary's port
        # number, it logs in and names first the loopback, then itself.
        script = r"""
import socket, sys, time
lan, port, target = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
own = socket.socket(); own.bind((lan, port)); own.listen(4); own.settimeout(8)
c = socket.create_connection(("127.0.0.1", target), source_address=(lan, 0), timeout=10)
c.sendall(b"USER x\r\nPORT 127,0,0,1,%d,%d\r\n" % divmod(port, 256))
time.sleep(2)
print("second", flush=True)
c.sendall(b"PORT %s,%d,%d\r\n" % (lan.replace(".", ",").encode(), *divmod(port, 256)))
try:
    d, a = own.accept()
    print("came back from %s" % a[0], flush=True)
except socket.timeout:
    print("nothing came back", flush=True)
"""
        lan = alice.popen([e2e.SYSTEM_PYTHON, "-c", script, self.LAN, str(self.canary_port),
                           str(self.tunnel.client_port)], "lan")
        self.tunnel.processes.append(lan)
        bob, key = self.bob, self.key
        seen = b""
        lan_log = os.path.join(alice.dir, "lan.out")
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and seen.count(b"PORT") < 1:
            try:
                p = bob.receive(key, lambda _: True, timeout=2)
            except TimeoutError:
                continue
            if p["kind"] == hp.KIND_CONTROL_MESSAGE and p["code"] == hp.CONNECT_REQUEST:
                bob.send(key, (hp.KIND_CONTROL_MESSAGE, hp.CONNECT_REPLY, p["port"], b"", 1))
            elif p["kind"] == hp.KIND_CONTROL_DATA:
                seen += p["payload"]
        # The loopback PORT was not the LAN client's own address: refused.
        self.assertIn(b"PORT 127,0,0,1,", seen)
        reply = self.assertAnswersPromptly(bob, key)
        self.assertEqual(reply["result"], 2)
        e2e.wait_for(lambda: "second" in e2e.read_text(lan_log), 10, "the second PORT")
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and b"PORT 127,0,0,2," not in seen:
            try:
                p = bob.receive(key, lambda q: q["kind"] == hp.KIND_CONTROL_DATA, timeout=2)
                seen += p["payload"]
            except TimeoutError:
                continue
        self.assertIn(b"PORT 127,0,0,2,%d,%d" % (hi, lo), seen)
        reply = self.assertAnswersPromptly(bob, key)
        self.assertEqual(reply["result"], 1, "the LAN client's own PORT is honoured")
        e2e.wait_for(lambda: "came back" in e2e.read_text(lan_log)
                     or "nothing" in e2e.read_text(lan_log), 15, "the LAN client")
        self.assertIn("came back from", e2e.read_text(lan_log))
        self.assertCanaryUntouched()


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
