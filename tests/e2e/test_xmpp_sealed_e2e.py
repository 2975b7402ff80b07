#!/usr/bin/python3
"""End-to-end sealing of streams between drivers, checked on a real prosody.

  XmppSealedTraffic     the server's own record of every stanza it received
                        holds none of the file's bytes, the marker inside it or
                        the FTP password, while the transfers' SHA-256 match.
                        With --expect-clear (a driver built with the test-only
                        switch QUILLON_TEST_UNSEALED, given by --driver) the
                        same check must find the marker: it can fail.
  XmppHostileServer     a server module that alters one byte of one carried
                        block, or replays one: the stream ends, the FTP client
                        gets an error, and what it received is an unchanged
                        prefix of the file.
  XmppKeyChanged        bob's account comes back with a new identity: alice's
                        driver refuses bob, logs both fingerprints once, until
                        quillon-driver --trust.
  XmppWrongFingerprint  alice's configuration expects another fingerprint for
                        bob: bob is never connectable.

Run one class:  test_xmpp_sealed_e2e.py --build BUILD_DIR XmppSealedTraffic
"""
import argparse
import base64
import os
import random
import re
import secrets
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
DRIVER = None            # another quillon-driver program (the unsealed test build)
EXPECT_CLEAR = False
FILE_SIZE = 1000 * 1000
GATE_OPEN_S = 60
REFUSAL_S = 30           # how long a refused contact is watched staying unconnectable
FAULT_S = 30             # a broken stream ends the FTP client's transfer within this
SAMPLES = 64             # chunks of the file searched for in the server's record
SAMPLE_BYTES = 24
PLUGINS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "prosody_plugins")
IBB_DATA = re.compile(r"<data\b[^>]*http://jabber\.org/protocol/ibb[^>]*>([^<]*)</data>")


def keep_or_remove(tunnel):
    if os.environ.get("QUILLON_E2E_KEEP"):
        print("logs kept in " + tunnel.workdir, file=sys.stderr)
    else:
        import shutil
        shutil.rmtree(tunnel.workdir, ignore_errors=True)


class SealTunnel(xmpp_tunnel.XmppTunnel):
    """The XMPP tunnel with our own FTP credentials, an optional other driver
    program and optional extra text for one user's contacts line."""

    def __init__(self, build_dir, contact_suffix=None, **kwargs):
        super().__init__(build_dir, **kwargs)
        self.ftp_user = "sealtest"
        self.ftp_password = "pw-" + secrets.token_hex(12)
        self.contact_suffix = contact_suffix or {}

    def program(self, name):
        if name == "quillon-driver" and DRIVER:
            return DRIVER
        return super().program(name)

    def write_driver_config(self, user):
        config = super().write_driver_config(user)
        suffix = self.contact_suffix.get(user)
        if suffix:
            text = e2e.read_text(config)
            text = re.sub(r"^(contacts = \S+)$", r"\1" + suffix, text, flags=re.M)
            with open(config, "w") as f:
                f.write(text)
        return config

    def config_of(self, user):
        return os.path.join(self.host_of(user).dir, "driver-%s.ini" % user)

    def driver_tool(self, user, args):
        return self.host_of(user).run([self.program("quillon-driver")] + args, timeout=30)


class hostile_server:
    """While active, the prosody the tests start loads mod_quillon_hostile."""

    def __init__(self, mode, after):
        self.lines = ('quillon_hostile_mode = "%s"\nquillon_hostile_from = "bob"\n'
                      'quillon_hostile_after = %d\n' % (mode, after))

    def __enter__(self):
        self.saved = xmpp_net.PROSODY_CONFIG
        text = self.saved.replace("plugin_paths = {{ }}", 'plugin_paths = {{ "%s" }}' % PLUGINS)
        text = text.replace('"smacks";', '"smacks"; "quillon_hostile";')
        xmpp_net.PROSODY_CONFIG = self.lines.replace("{", "{{").replace("}", "}}") + text
        return self

    def __exit__(self, *exc):
        xmpp_net.PROSODY_CONFIG = self.saved


class SealCase(unittest.TestCase):
    tunnel = None

    @classmethod
    def make_tunnel(cls, **kwargs):
        why = xmpp_net.can_build()
        if why:
            raise unittest.SkipTest(why)
        return SealTunnel(BUILD_DIR, gateway=GATEWAY, **kwargs)

    @classmethod
    def start_tunnel(cls, wait_open=True, **kwargs):
        tunnel = cls.make_tunnel(**kwargs)
        try:
            tunnel.start()
            if wait_open:
                tunnel.wait_gate_open(timeout=GATE_OPEN_S)
        except BaseException:
            tunnel.close()
            keep_or_remove(tunnel)
            raise
        return tunnel

    def stop_tunnel(self):
        self.tunnel.close()
        keep_or_remove(self.tunnel)

    def alice_path(self, name):
        return os.path.join(self.tunnel.hosts["alice"].dir, name)

    def url(self, name):
        return "ftp://127.0.0.1:%d/%s" % (self.tunnel.client_port, name)

    def curl(self, args, timeout=120):
        t = self.tunnel
        return t.hosts["alice"].run(
            ["curl", "-sS", "--max-time", str(timeout - 10), "--user",
             "%s:%s" % (t.ftp_user, t.ftp_password)] + args, timeout=timeout)

    def small_retr_works(self, name):
        source = os.path.join(self.tunnel.ftp_root, "small.bin")
        if not os.path.exists(source):
            e2e.write_random_file(source, 100 * 1000, seed=11)
        down = self.alice_path(name)
        result = self.curl(["-o", down, self.url("small.bin")], timeout=60)
        return result.returncode == 0 and e2e.sha256_of(down) == e2e.sha256_of(source)


def marked_file(path, size, marker, seed):
    """Random bytes with the marker written in at a few places."""
    rng = random.Random(seed)
    data = bytearray(rng.getrandbits(8) for _ in range(size))
    for at in (0, size // 3, size // 2, size - len(marker)):
        data[at:at + len(marker)] = marker
    with open(path, "wb") as f:
        f.write(data)
    return bytes(data)


def forms_of(needle):
    """The needle as raw bytes, hex, and base64 at each of the three alignments
    (without the characters its neighbours would change)."""
    forms = [needle, needle.hex().encode(), needle.hex().upper().encode()]
    for pad in range(3):
        text = base64.b64encode(b"\0" * pad + needle)
        skip = (pad * 4 + 2) // 3
        forms.append(text[skip:len(text) - 4])
    return forms


class XmppSealedTraffic(SealCase):
    """What the server routed for a RETR and a STOR of a marked file."""

    def setUp(self):
        type(self).tunnel = self.start_tunnel(stanza_log=True)
        self.addCleanup(self.stop_tunnel)

    def test_the_server_carries_no_payload_byte(self):
        t = self.tunnel
        marker = ("QUILLON-MARKER-" + secrets.token_hex(16)).encode()
        source = os.path.join(t.ftp_root, "marked.bin")
        data = marked_file(source, FILE_SIZE, marker, seed=secrets.randbits(32))
        down = self.alice_path("marked-down.bin")
        result = self.curl(["-o", down, self.url("marked.bin")])
        self.assertEqual(result.returncode, 0, result.stderr[-2000:])
        self.assertEqual(e2e.sha256_of(down), e2e.sha256_of(source))
        result = self.curl(["-T", down, self.url("marked-up.bin")])
        self.assertEqual(result.returncode, 0, result.stderr[-2000:])
        self.assertEqual(e2e.sha256_of(os.path.join(t.ftp_root, "marked-up.bin")),
                         e2e.sha256_of(source))

        record = t.net.server_of("alice").log_text()
        blocks = [base64.b64decode(b) for b in IBB_DATA.findall(record)]
        carried = b"".join(blocks)
        print("server record: %d bytes, %d bytestream blocks, %d bytes carried" % (
            len(record), len(blocks), len(carried)), file=sys.stderr)
        # Both transfers went through the record: it is the right one.
        self.assertGreater(len(carried), 2 * FILE_SIZE)
        haystacks = {"record": record.encode("utf-8", "replace"), "decoded blocks": carried}
        rng = random.Random(len(record))
        needles = {"marker": marker, "FTP password": t.ftp_password.encode()}
        for i in range(SAMPLES):
            at = rng.randrange(0, len(data) - SAMPLE_BYTES)
            needles["file bytes at %d" % at] = data[at:at + SAMPLE_BYTES]
        found = []
        for name, needle in needles.items():
            for where, hay in haystacks.items():
                for form in forms_of(needle):
                    if form in hay:
                        found.append("%s (%r) in the %s" % (name, form[:40], where))
                        break
        if EXPECT_CLEAR:
            self.assertTrue(any(f.startswith("marker") for f in found),
                            "an unsealed driver's marker was not found: the check is blind")
            print("unsealed build: found %d of %d needles, for example %s" % (
                len(found), len(needles) * 2, found[:3]), file=sys.stderr)
        else:
            self.assertEqual(found, [])
            self.assertNotIn("UNSEALED", t.driver_log())


class XmppHostileServer(SealCase):
    """A server that changes one block bob's driver sends during a RETR."""

    def run_attack(self, mode):
        with hostile_server(mode, after=30):
            type(self).tunnel = self.start_tunnel()
        self.addCleanup(self.stop_tunnel)
        t = self.tunnel
        source = os.path.join(t.ftp_root, "big.bin")
        e2e.write_random_file(source, 4 * FILE_SIZE, seed=23)
        down = self.alice_path("attacked.bin")
        started = time.monotonic()
        result = self.curl(["-o", down, self.url("big.bin")], timeout=FAULT_S + 60)
        elapsed = time.monotonic() - started
        record = t.net.server_of("alice").log_text()
        self.assertIn("quillon_hostile: %s block 30" % mode, record)
        self.assertNotEqual(result.returncode, 0, "the FTP client saw no error")
        self.assertLess(elapsed, FAULT_S + 10)
        with open(source, "rb") as f:
            original = f.read()
        got = b""
        if os.path.exists(down):
            with open(down, "rb") as f:
                got = f.read()
        self.assertLess(len(got), len(original))
        self.assertEqual(got, original[:len(got)], "corrupted bytes reached the FTP client")
        e2e.wait_for(lambda: "a block did not open" in t.driver_log("alice"), 10,
                     "alice's driver to log the broken stream")
        print("%s: curl exit %d after %.1f s with %d of %d bytes, all intact; driver: %s" % (
            mode, result.returncode, elapsed, len(got), len(original),
            [line for line in t.driver_log("alice").splitlines()
             if "did not open" in line][:1]), file=sys.stderr)

    def test_an_altered_byte_ends_the_stream(self):
        self.run_attack("alter")

    def test_a_replayed_block_ends_the_stream(self):
        self.run_attack("replay")


class XmppKeyChanged(SealCase):
    def setUp(self):
        type(self).tunnel = self.start_tunnel()
        self.addCleanup(self.stop_tunnel)

    def test_a_new_key_is_refused_until_trusted(self):
        t = self.tunnel
        self.assertTrue(self.small_retr_works("before.bin"))
        old = t.driver_tool("bob", ["--fingerprint", t.config_of("bob"), "bob"]).stdout.strip()
        # bob's account re-created with a new identity.
        e2e.stop_process(t.drivers["bob"])
        os.unlink(os.path.join(t.host_of("bob").dir, "bob.identity"))
        t.start_driver("bob")
        new = t.driver_tool("bob", ["--fingerprint", t.config_of("bob"), "bob"]).stdout.strip()
        self.assertNotEqual(old, new)
        wanted = "offers identity key %s but the pinned key is %s" % (new, old)
        e2e.wait_for(lambda: wanted in t.driver_log("alice"), REFUSAL_S,
                     "alice's driver to refuse bob's new key")
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            self.assertFalse(t.gate_open(), "the gate opened to a refused key")
            time.sleep(0.5)
        self.assertFalse(self.small_retr_works("refused.bin"))
        self.assertEqual(t.driver_log("alice").count(wanted), 1, "logged once")
        trusted = t.driver_tool("alice", ["--trust", t.config_of("alice"), "alice",
                                          t.jid("bob")])
        self.assertEqual(trusted.returncode, 0, trusted.stderr)
        self.assertIn("trusted identity key " + new, trusted.stdout)
        t.wait_gate_open(timeout=GATE_OPEN_S)
        self.assertTrue(self.small_retr_works("after.bin"))


class XmppWrongFingerprint(SealCase):
    def test_a_contact_with_another_fingerprint_is_never_connectable(self):
        wrong = "-".join("%05d" % random.randrange(100000) for _ in range(8))
        type(self).tunnel = self.start_tunnel(wait_open=False,
                                              contact_suffix={"alice": "#" + wrong})
        self.addCleanup(self.stop_tunnel)
        t = self.tunnel
        actual = t.driver_tool("bob", ["--fingerprint", t.config_of("bob"), "bob"]).stdout.strip()
        wanted = "offers identity key %s but the configuration expects %s" % (actual, wrong)
        e2e.wait_for(lambda: wanted in t.driver_log("alice"), REFUSAL_S,
                     "alice's driver to refuse bob's key")
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            self.assertFalse(t.gate_open(), "the gate opened to a refused key")
            time.sleep(0.5)
        self.assertFalse(self.small_retr_works("refused.bin"))


SKIPPED_EXIT = 77


def run_tests(argv):
    result = unittest.main(argv=argv, exit=False).result
    if not result.wasSuccessful():
        return 1
    if result.testsRun == 0 or len(result.skipped) >= result.testsRun:
        return SKIPPED_EXIT
    return 0


def main():
    global BUILD_DIR, GATEWAY, DRIVER, EXPECT_CLEAR
    e2e.list_cases_if_asked(__name__)
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--gateway", default="quillonftp")
    parser.add_argument("--driver", help="another quillon-driver program")
    parser.add_argument("--expect-clear", action="store_true",
                        help="the driver is the unsealed test build: the check must find the "
                             "marker")
    args, rest = parser.parse_known_args()
    BUILD_DIR = os.path.abspath(args.build)
    GATEWAY = args.gateway
    DRIVER = os.path.abspath(args.driver) if args.driver else None
    EXPECT_CLEAR = args.expect_clear
    sys.exit(run_tests([sys.argv[0], "-v"] + rest))


if __name__ == "__main__":
    main()
