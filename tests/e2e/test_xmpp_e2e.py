#!/usr/bin/python3
"""End-to-end tests across an XMPP network: two hosts with no path between
them, each with its own driver signed in to a real prosody, the real gateways,
pyftpdlib and real FTP clients (curl, lftp). Every transfer is checked by
SHA-256.

Run one class:  test_xmpp_e2e.py --build BUILD_DIR XmppTransfers
"""
import argparse
import json
import os
import re
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quillon_e2e as e2e  # noqa: E402
import xmpp_net  # noqa: E402
import xmpp_tunnel  # noqa: E402

BUILD_DIR = None
GATEWAY = "quillonftp"
FILE_SIZE = 2 * 1000 * 1000       # a few seconds per transfer at the tunnel's ceiling
SMALL_SIZE = 300 * 1000
BIG_SIZE = 12 * 1000 * 1000       # long enough to still be running when a fault lands
GATE_OPEN_S = 60
RECOVERY_S = 60                   # a restart is followed by a good transfer within this
# How much later a recovery is still waited for, to report it: two of the
# Client's automatic connections (one every 60.1 s, kAutoConnectRetryMs), since
# one may go to a contact list the driver has not yet had back from the server.
LATE_REPORT_S = 75
REATTACH_S = 30                   # a driver signed in again attaches its gateway within this
ATTACHED = "SKYPECONTROLAPI_ATTACH_SUCCESS"      # the gateways' "-D583" traces of the attach codes
NOT_AVAILABLE = "SKYPECONTROLAPI_ATTCH_NOT_AVAILABLE"
FAULT_DEADLINE_S = 10             # a lost peer ends the FTP client's transfer within this
GATEWAY_TRACE_S = 30


def keep_or_remove(tunnel):
    if os.environ.get("QUILLON_E2E_KEEP"):
        print("logs kept in " + tunnel.workdir, file=sys.stderr)
    else:
        import shutil
        shutil.rmtree(tunnel.workdir, ignore_errors=True)


def why_not_run():
    return xmpp_net.can_build()


class XmppCase(unittest.TestCase):
    """Helpers on one XmppTunnel in self.tunnel."""
    tunnel = None
    federated = False

    @classmethod
    def make_tunnel(cls, **kwargs):
        why = why_not_run()
        if why:
            raise unittest.SkipTest(why)
        tunnel = xmpp_tunnel.XmppTunnel(BUILD_DIR, gateway=GATEWAY, federated=cls.federated,
                                        **kwargs)
        cls.source = os.path.join(tunnel.ftp_root, "big.bin")
        e2e.write_random_file(cls.source, FILE_SIZE, seed=7)
        cls.source_sha = e2e.sha256_of(cls.source)
        small = os.path.join(tunnel.ftp_root, "small.bin")
        e2e.write_random_file(small, SMALL_SIZE, seed=5)
        cls.small_sha = e2e.sha256_of(small)
        return tunnel

    @classmethod
    def start_tunnel(cls, **kwargs):
        tunnel = cls.make_tunnel(**kwargs)
        try:
            tunnel.start()
            tunnel.net.prove_isolation()
            tunnel.wait_gate_open(timeout=GATE_OPEN_S)
        except BaseException:
            tunnel.close()
            keep_or_remove(tunnel)
            raise
        return tunnel

    def alice_path(self, name):
        return os.path.join(self.tunnel.hosts["alice"].dir, name)

    def upload_source(self, name, size=FILE_SIZE):
        path = self.alice_path(name)
        if not os.path.exists(path):
            e2e.write_random_file(path, size, seed=e2e.stable_seed(name))
        return path, e2e.sha256_of(path)

    def url(self, name):
        return "ftp://127.0.0.1:%d/%s" % (self.tunnel.client_port, name)

    def curl(self, args, timeout=120):
        alice = self.tunnel.hosts["alice"]
        return alice.run(["curl", "-sS", "-v", "--max-time", str(timeout - 10), "--user",
                          "demo:demo"] + args, timeout=timeout)

    def assertCurlOk(self, result):
        self.assertEqual(result.returncode, 0, result.stderr[-3000:])

    def curl_retr_stor(self, tag):
        down = self.alice_path("%s-down.bin" % tag)
        self.assertCurlOk(self.curl(["-o", down, self.url("big.bin")]))
        self.assertEqual(e2e.sha256_of(down), self.source_sha)
        up, up_sha = self.upload_source("%s-up.bin" % tag)
        self.assertCurlOk(self.curl(["-T", up, self.url("%s-up.bin" % tag)]))
        self.assertEqual(e2e.sha256_of(os.path.join(self.tunnel.ftp_root, "%s-up.bin" % tag)),
                         up_sha)

    def small_retr(self, name):
        down = self.alice_path(name)
        result = self.curl(["-o", down, self.url("small.bin")], timeout=60)
        self.assertCurlOk(result)
        self.assertEqual(e2e.sha256_of(down), self.small_sha)


class XmppTransfers(XmppCase):
    """One tunnel for the class: alice@a.test in A, bob@a.test in B, one server."""

    @classmethod
    def setUpClass(cls):
        cls.tunnel = cls.start_tunnel()

    @classmethod
    def tearDownClass(cls):
        if cls.tunnel is not None:
            cls.tunnel.close()
            keep_or_remove(cls.tunnel)

    def test_curl_passive_retr_and_stor(self):
        self.curl_retr_stor("curl-passive")

    def test_curl_active_retr(self):
        down = self.alice_path("curl-active.bin")
        result = self.curl(["--ftp-port", "-", "-o", down, self.url("big.bin")])
        self.assertCurlOk(result)
        self.assertRegex(result.stderr, r"> (EPRT|PORT) ")
        self.assertEqual(e2e.sha256_of(down), self.source_sha)

    def test_lftp_get_and_put(self):
        down = self.alice_path("lftp-down.bin")
        up, up_sha = self.upload_source("lftp-up.bin")
        alice = self.tunnel.hosts["alice"]
        result = alice.run(
            ["lftp", "-u", "demo,demo", "-e",
             "set ftp:passive-mode yes; set net:max-retries 1; set net:timeout 20; "
             "get big.bin -o %s; put %s -o lftp-up.bin; bye" % (down, up),
             "ftp://127.0.0.1:%d" % self.tunnel.client_port], timeout=180)
        self.assertEqual(result.returncode, 0, result.stdout[-2000:] + result.stderr[-2000:])
        self.assertEqual(e2e.sha256_of(down), self.source_sha)
        self.assertEqual(e2e.sha256_of(os.path.join(self.tunnel.ftp_root, "lftp-up.bin")),
                         up_sha)


class XmppFederated(XmppCase):
    """alice@a.test and bob@b.test on two servers that federate."""
    federated = True

    @classmethod
    def setUpClass(cls):
        cls.tunnel = cls.start_tunnel()

    @classmethod
    def tearDownClass(cls):
        if cls.tunnel is not None:
            cls.tunnel.close()
            keep_or_remove(cls.tunnel)

    def test_curl_retr_and_stor_across_two_servers(self):
        self.assertEqual(self.tunnel.jid("bob"), "bob@b.test")
        self.curl_retr_stor("federated")
        for domain, server in self.tunnel.net.servers.items():
            self.assertRegex(server.log_text(), r"(Incoming|Outgoing) s2s connection \S+ complete",
                             domain)


class XmppFaultCase(XmppCase):
    """A fresh tunnel per test, since each test breaks something."""

    def setUp(self):
        type(self).tunnel = self.start_tunnel()
        self.addCleanup(self.stop_tunnel)
        self.gateway_pids = {name: proc.pid for name, proc in self.tunnel.gateways.items()}

    def stop_tunnel(self):
        self.tunnel.close()
        keep_or_remove(self.tunnel)

    def assertSameGateways(self):
        self.tunnel.check_alive()
        self.assertEqual({name: proc.pid for name, proc in self.tunnel.gateways.items()},
                         self.gateway_pids, "a gateway was replaced")

    def traces(self, text):
        return {name: self.tunnel.gateway_trace(name).count(text) for name in self.tunnel.gateways}

    def wait_traces(self, names, text, before, timeout, what):
        for name in names:
            e2e.wait_for(lambda: self.tunnel.gateway_trace(name).count(text) > before[name],
                         timeout, "%s's gateway to be told %s" % (name, what))

    def recover_within(self, started, what):
        """A new transfer through the same gateways, RECOVERY_S after `started` at most.

        Waits a little longer than that before giving up, so a late recovery is
        reported with its time rather than as a time-out.
        """
        self.tunnel.wait_gate_open(
            timeout=max(1.0, started + RECOVERY_S + LATE_REPORT_S - time.monotonic()))
        self.small_retr("after-%s.bin" % what)
        elapsed = time.monotonic() - started
        print("%s restarted: a new transfer done %.1f s later" % (what, elapsed),
              file=sys.stderr)
        self.assertSameGateways()
        self.assertLess(elapsed, RECOVERY_S, "the gate came back too late")

    def start_big_retr(self):
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
        line = ""
        while not line.startswith("progress"):
            line = proc.stdout.readline()
            if not line:
                self.fail("the transfer did not start: " + proc.stderr.read())
        return proc


class XmppDriverRestarted(XmppFaultCase):
    def test_driver_killed_on_one_host_then_restarted(self):
        self.small_retr("before.bin")
        self.tunnel.kill_driver("alice")
        e2e.wait_for(lambda: not self.tunnel.gate_open(), FAULT_DEADLINE_S,
                     "alice's gate to close without her driver")
        attached = self.traces(ATTACHED)
        self.tunnel.start_driver("alice")
        started = time.monotonic()
        # The new driver attaches the waiting gateway once it has signed in.
        self.wait_traces(["alice"], ATTACHED, attached, REATTACH_S, "it is attached again")
        self.recover_within(started, "driver")


class XmppServerRestarted(XmppFaultCase):
    def test_server_killed_then_restarted(self):
        self.small_retr("before.bin")
        server = self.tunnel.net.server_of("alice")
        unavailable = self.traces(NOT_AVAILABLE)
        attached = self.traces(ATTACHED)
        server.kill()
        e2e.wait_for(lambda: not self.tunnel.gate_open(), FAULT_DEADLINE_S,
                     "alice's gate to close without the server")
        # Each driver tells its gateway the account is not available, as the
        # messaging client did when it lost its network, and outlives its server.
        self.wait_traces(["alice", "bob"], NOT_AVAILABLE, unavailable, FAULT_DEADLINE_S,
                         "its account is not available")
        self.tunnel.check_alive()
        server.start()
        started = time.monotonic()
        self.wait_traces(["alice", "bob"], ATTACHED, attached, REATTACH_S,
                         "it is attached again")
        self.recover_within(started, "server")


class XmppPeerGatewayKilled(XmppFaultCase):
    def test_server_gateway_killed_mid_transfer(self):
        proc = self.start_big_retr()
        self.tunnel.stop_gateway("bob", kill=True)
        start = time.monotonic()
        try:
            proc.wait(timeout=FAULT_DEADLINE_S + 5)
        except subprocess.TimeoutExpired:
            e2e.stop_process(proc)
            self.fail("the FTP client hung after bob's gateway was killed")
        elapsed = time.monotonic() - start
        output = proc.stdout.read()
        proc.stdout.close()
        proc.stderr.close()
        print("bob's gateway killed: FTP client error after %.1f s" % elapsed, file=sys.stderr)
        self.assertNotEqual(proc.returncode, 0, "the transfer claimed success: " + output)
        self.assertLess(elapsed, FAULT_DEADLINE_S)


class XmppStrangerRefused(XmppCase):
    """carol@a.test is on bob's server but not his contact. Only bob's driver
    and Server gateway run, so nothing but the contact rule can refuse her."""

    def test_non_contact_gets_no_stream_and_no_subscription(self):
        tunnel = self.make_tunnel(stanza_log=True, extra_users=("carol",))
        self.tunnel = tunnel
        self.addCleanup(lambda: (tunnel.close(), keep_or_remove(tunnel)))
        tunnel.start_network()
        tunnel.start_driver("bob")
        tunnel.start_ftp_server()
        tunnel.start_gateway("bob", client_mode=False, peer=tunnel.jid("alice"))
        e2e.wait_for(lambda: "CREATE REPLY OK" in tunnel.gateway_trace("bob"), GATEWAY_TRACE_S,
                     "bob's gateway to register its application")
        # bob's full JID, as his server bound it.
        log = tunnel.net.server_of("bob").log_text()
        bound = re.findall(r"<jid>(bob@a\.test/[^<]+)</jid>", log)
        self.assertTrue(bound, "no resource bound for bob:\n" + log[-3000:])
        carol = tunnel.net.accounts["carol"]
        result = tunnel.hosts["bob"].run(
            [e2e.SYSTEM_PYTHON, os.path.join(e2e.HERE, "xmpp_stranger.py"), "--jid", carol.jid,
             "--password", carol.password, "--server", carol.server_address, "--cafile",
             tunnel.net.ca, "--target", bound[-1], "--wait", "5"], timeout=90)
        self.assertEqual(result.returncode, 0, result.stderr[-2000:])
        outcome = json.loads(result.stdout.strip().splitlines()[-1])
        # A well-formed open for the application bob's gateway registered: only
        # the contact rule can refuse it.
        self.assertEqual((outcome["open"], outcome["condition"]), ("error", "not-acceptable"),
                         outcome)
        self.assertFalse(outcome["subscribed"], outcome)
        self.assertNotIn("carol", tunnel.gateway_trace("bob"))
        tunnel.check_alive()

SKIPPED_EXIT = 77  # CTest's SKIP_RETURN_CODE: nothing ran, so the test is not counted as passed


def run_tests(argv):
    """unittest's exit status, or SKIPPED_EXIT when every test was skipped."""
    result = unittest.main(argv=argv, exit=False).result
    if not result.wasSuccessful():
        return 1
    if result.testsRun == 0 or len(result.skipped) >= result.testsRun:
        return SKIPPED_EXIT
    return 0


def main():
    global BUILD_DIR, GATEWAY
    e2e.list_cases_if_asked(__name__)
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--gateway", default="quillonftp")
    args, rest = parser.parse_known_args()
    BUILD_DIR = os.path.abspath(args.build)
    GATEWAY = args.gateway
    sys.exit(run_tests([sys.argv[0], "-v"] + rest))


if __name__ == "__main__":
    main()
