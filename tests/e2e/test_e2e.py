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
PASSIVE_RANGE = range(30000, 30100)


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
            e2e.write_random_file(path, FILE_SIZE, seed=hash(name) & 0xffff)
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
