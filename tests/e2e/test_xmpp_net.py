#!/usr/bin/python3
"""Self-tests of the XMPP test network (xmpp_net.py), with a plain XMPP client.

Before any driver is involved: the hosts are isolated from each other, two
clients sign in over verified STARTTLS (one in A, one in B) and exchange a
message, on one server and across two federating servers.

Run one test:  test_xmpp_net.py OneServer
"""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quillon_e2e as e2e  # noqa: E402
import xmpp_net  # noqa: E402

PROBE = os.path.join(e2e.HERE, "xmpp_probe.py")
PROBE_TIMEOUT_S = 30
SYSTEM_CA_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"


class NetCase:
    """The checks; OneServer and Federated run them on their network."""

    federated = False

    def setUp(self):
        why = xmpp_net.can_build()
        if why:
            self.skipTest(why)
        self.workdir = xmpp_net.temp_workdir("quillon-xmppnet-")
        self.net = xmpp_net.XmppNet(self.workdir, federated=self.federated,
                                    stanza_log=True).start()
        self.addCleanup(self.cleanup)

    def cleanup(self):
        self.net.close()
        if os.environ.get("QUILLON_E2E_KEEP"):
            print("logs kept in " + self.workdir, file=sys.stderr)
        else:
            import shutil
            shutil.rmtree(self.workdir, ignore_errors=True)

    def probe_argv(self, user, cafile=None):
        account = self.net.accounts[user]
        return [e2e.SYSTEM_PYTHON, PROBE, "--jid", account.jid, "--password", account.password,
                "--server", account.server_address, "--cafile", cafile or self.net.ca,
                "--timeout", str(PROBE_TIMEOUT_S)]

    def exchange(self):
        """bob answers in B, alice asks in A; returns both outputs."""
        alice, bob = self.net.accounts["alice"], self.net.accounts["bob"]
        answer = self.net.hosts["bob"].popen(self.probe_argv("bob") + ["--answer", alice.jid],
                                             "probe")
        try:
            ask = self.net.hosts["alice"].run(self.probe_argv("alice") + ["--ask", bob.jid],
                                              timeout=PROBE_TIMEOUT_S + 15)
            answer.wait(timeout=PROBE_TIMEOUT_S + 15)
        finally:
            e2e.stop_process(answer)
        answered = e2e.read_text(os.path.join(self.net.hosts["bob"].dir, "probe.out"))
        return ask, answered

    def check_network(self):
        self.net.prove_isolation()
        ask, answered = self.exchange()
        alice, bob = self.net.accounts["alice"], self.net.accounts["bob"]
        self.assertEqual(ask.returncode, 0, ask.stdout + ask.stderr[-2000:])
        self.assertIn("probe: OK %s answered: re: ping from %s" % (bob.jid, alice.jid),
                      ask.stdout)
        self.assertIn("probe: OK answered %s: ping from %s" % (alice.jid, alice.jid), answered)
        for domain, server in self.net.servers.items():
            log = server.log_text()
            self.assertIn("Stream encrypted (TLS", log, domain)
            self.assertNotIn("mod_limits", log, domain)

    def test_isolated_hosts_exchange_a_message_through_the_server(self):
        self.check_network()

    def test_server_certificate_is_verified(self):
        # The server's certificate comes from the tests' own CA: a client that
        # trusts only the system store must refuse it.
        bob = self.net.accounts["bob"]
        ask = self.net.hosts["alice"].run(
            self.probe_argv("alice", cafile=SYSTEM_CA_BUNDLE)[:-2] + ["--timeout", "8",
                                                                      "--ask", bob.jid],
            timeout=40)
        self.assertNotEqual(ask.returncode, 0, ask.stdout)
        self.assertNotIn("Authenticated as", self.net.server_of("alice").log_text())


class OneServer(NetCase, unittest.TestCase):
    federated = False


class Federated(NetCase, unittest.TestCase):
    federated = True

    def test_isolated_hosts_exchange_a_message_through_the_server(self):
        self.check_network()
        # The servers federate over TLS and prove who they are by dialback
        # (neither trusts the other's certificate).
        for domain, server in self.net.servers.items():
            log = server.log_text()
            self.assertRegex(log, r"(Incoming|Outgoing) s2s connection \S+ complete", domain)
            self.assertRegex(log, r"<db:result [^>]*type='valid'", domain)
            self.assertRegex(log, r"s2s(in|out)\w*\s+info\s+Stream encrypted \(TLS", domain)

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
    e2e.list_cases_if_asked(__name__)
    # --build is accepted (and unused) so CTest can call every e2e script alike.
    argv = [a for a in sys.argv]
    if "--build" in argv:
        i = argv.index("--build")
        del argv[i:i + 2]
    sys.exit(run_tests([argv[0], "-v"] + argv[1:]))


if __name__ == "__main__":
    main()
