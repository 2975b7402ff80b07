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
    """bob's Server gateway (ENABLEUSER 1) beside the FTP server; mallory is
    one of bob's contacts and holds bob's only stream."""

    def setUp(self):
        self.tunnel = self.make_tunnel({"alice": "bob", "bob": "alice, mallory"},
                                       {"mallory": "bob"})
        self.tunnel.start_ftp_server()
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
        m.send(key, (hp.KIND_CONTROL_DATA, 0, 21, b"USER demo\r\nPASS demo\r\n"))
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
        commands = [line for line in e2e.read_text(self.tunnel.server_log).splitlines()
                    if line.startswith("CMD PORT ")]
        self.assertEqual(len(commands), 2, commands)
        self.assertTrue(all(not c.endswith(",%d,%d" % (hi, lo)) for c in commands), commands)

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


class HostileAgainstClient(VictimCase):
    """alice's Client gateway; "bob" (the contact alice's gate opens to) is
    hostile, and so is mallory, another of alice's contacts."""

    def setUp(self):
        self.tunnel = self.make_tunnel({"alice": "bob, mallory", "bob": "alice"},
                                       {"mallory": "alice"})
        self.start_canary(self.tunnel, "alice")
        self.bob = self.peer(self.tunnel, "bob")
        self.tunnel.start_gateway("alice", client_mode=True, peer="bob")
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

    def test_unselected_contact_gets_no_stream(self):
        mallory = self.peer(self.tunnel, "mallory")
        mallory.command("ALTER APPLICATION %s CONNECT alice" % hp.APP)
        e2e.wait_for(lambda: mallory.streams() == [], 20, "alice to refuse mallory's stream")
        self.assertTrue(self.tunnel.gate_open())


def main():
    global BUILD_DIR, GATEWAY
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--gateway", default="quillonftp")
    args, rest = parser.parse_known_args()
    BUILD_DIR = args.build
    GATEWAY = args.gateway
    unittest.main(argv=[sys.argv[0], "-v"] + rest)


if __name__ == "__main__":
    main()
