#!/usr/bin/python3
"""End to end through two quillon-host processes and the real driver.

alice runs a Client-mode host beside Python's ftplib, bob a Server-mode host
beside the harness's pyftpdlib server; both attach to one quillon-driver.
Everything runs on one loopback (no namespaces) with the LISTENPORT / HOST /
PORT overrides, the hosts started with --settings and --driver, so the test
also proves that the data went through the tunnel and not around it:
  - the server hands out passive ports from a known range, and the ports the
    client is given in its 227 replies must lie outside it;
  - the PORT commands the server receives must name bob's data-link listener,
    never the port the client announced;
  - the hosts' traffic counters must account for every byte of the files.

Two FTP sessions one after the other on the same gate: the first passive
(LIST, RETR and STOR of a 5 MB random file), the second active (the same).
Prints one line per step with sizes, seconds and SHA-256.

Run:  test_host_e2e.py --build BUILD_DIR [FtplibThroughTwoHosts]
"""
import argparse
import ftplib
import hashlib
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quillon_e2e as e2e  # noqa: E402

BUILD_DIR = None
FILE_BYTES = 5 * 1024 * 1024
FILE_SEED = 583
GATE_TIMEOUT_S = 60
STOP_TIMEOUT_S = 10
TRAFFIC_SETTLE_S = 2.5  # more than two of the hosts' 1000 ms traffic periods


class Failure(AssertionError):
    pass


def say(text):
    print("host-e2e: " + text, flush=True)


def sha256(data):
    return hashlib.sha256(data).hexdigest()


class RecordingFTP(ftplib.FTP):
    """ftplib.FTP that remembers the data ports it was given or announced."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.given_ports = []      # from 227 replies (passive mode)
        self.announced_ports = []  # in our own PORT commands (active mode)

    def makepasv(self):
        host, port = super().makepasv()
        self.given_ports.append(port)
        return host, port

    def sendport(self, host, port):
        self.announced_ports.append(port)
        return super().sendport(host, port)


class HostSetup:
    """The harness's driver, hosts and FTP server on one loopback, with two
    quillon-host processes that take their settings and driver socket from
    the command line."""

    def __init__(self):
        self.tunnel = e2e.Tunnel(BUILD_DIR, isolation="none", gateway="quillon-host",
                                 workdir=tempfile.mkdtemp(prefix="quillon-host-e2e-"))
        self.dir = self.tunnel.workdir
        self.root = self.tunnel.ftp_root
        self.listen_port = self.tunnel.client_port

    def start(self):
        tunnel = self.tunnel
        for name in ("alice", "bob"):
            tunnel.hosts[name] = e2e.Host(name, tunnel.workdir, tunnel.isolation)
        tunnel.start_driver()
        tunnel.start_ftp_server()
        self.start_host("bob", [
            "[SYSTEM]", "APPMODE=0", "ENABLEUSER=0", "[CLIENT]", "AUTOCONNECTUSER=alice",
            "[SERVER]", "HOST=127.0.0.1", "PORT=%d" % tunnel.server_port])
        self.start_host("alice", [
            "[SYSTEM]", "APPMODE=1", "ENABLEUSER=0", "[CLIENT]", "AUTOCONNECT=1",
            "AUTOCONNECTUSER=bob", "LISTENPORT=%d" % self.listen_port])

    def start_host(self, name, ini_lines):
        host = self.tunnel.hosts[name]
        with open(os.path.join(host.dir, "QuillonForFTP.ini"), "w") as f:
            f.write("\n".join(ini_lines) + "\n")
        proc = host.popen([self.tunnel.program("quillon-host"), "-D583", "--settings", host.dir,
                           "--driver", self.tunnel.sockets[name]], "gateway")
        self.tunnel.gateways[name] = proc
        self.tunnel.processes.append(proc)

    def host_log(self, name):
        host = self.tunnel.hosts.get(name)
        return e2e.read_text(os.path.join(host.dir, "gateway.err")) if host else ""

    def host_trace(self, name):
        return self.tunnel.gateway_trace(name)

    def check_alive(self):
        for name, proc in self.tunnel.gateways.items():
            if proc.poll() is not None:
                raise Failure("%s's host ended (exit %s): %s"
                              % (name, proc.returncode, self.host_log(name)[-2000:]))

    def wait_gate_open(self):
        def is_open():
            self.check_alive()
            return ("gate open" in self.host_log("alice") and "gate open" in self.host_log("bob")
                    and self.tunnel.gate_open())
        e2e.wait_for(is_open, GATE_TIMEOUT_S, "the gate to open")

    def stop_host(self, name):
        proc = self.tunnel.gateways[name]
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(timeout=STOP_TIMEOUT_S)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
                raise Failure("%s's host did not stop on SIGTERM" % name)
        if proc.returncode != 0:
            raise Failure("%s's host ended with exit status %s: %s"
                          % (name, proc.returncode, self.host_log(name)[-2000:]))

    def totals(self, name):
        match = re.search(r"stopped total-sent=(\d+) total-received=(\d+)", self.host_log(name))
        if match is None:
            raise Failure("%s's host printed no traffic totals" % name)
        return int(match.group(1)), int(match.group(2))

    def close(self):
        self.tunnel.close()


def session(setup, active, data, label):
    """One FTP session through alice's gate; returns the client's recorded ports."""
    ftp = RecordingFTP(timeout=30)
    ftp.connect("127.0.0.1", setup.listen_port)
    ftp.login("demo", "demo")
    ftp.set_pasv(not active)
    listing = []
    ftp.retrlines("LIST", listing.append)
    if not any("random.bin" in line for line in listing):
        raise Failure("%s: LIST does not show random.bin: %r" % (label, listing))

    start = time.monotonic()
    chunks = []
    ftp.retrbinary("RETR random.bin", chunks.append, blocksize=65536)
    seconds = time.monotonic() - start
    got = b"".join(chunks)
    if len(got) != len(data) or sha256(got) != sha256(data):
        raise Failure("%s: RETR gave %d bytes sha256 %s, want %d bytes %s"
                      % (label, len(got), sha256(got), len(data), sha256(data)))
    say("%s RETR %d bytes in %.1f s (%.0f B/s) sha256 %s equal"
        % (label, len(got), seconds, len(got) / seconds, sha256(got)))

    name = "upload-%s.bin" % label
    start = time.monotonic()
    with open(os.path.join(setup.dir, "upload.bin"), "rb") as f:
        ftp.storbinary("STOR " + name, f, blocksize=65536)
    seconds = time.monotonic() - start
    with open(os.path.join(setup.root, name), "rb") as f:
        stored = f.read()
    if sha256(stored) != sha256(data):
        raise Failure("%s: STOR stored %d bytes sha256 %s" % (label, len(stored), sha256(stored)))
    say("%s STOR %d bytes in %.1f s (%.0f B/s) sha256 %s equal"
        % (label, len(stored), seconds, len(stored) / seconds, sha256(stored)))
    ftp.quit()
    return ftp


def check_both_sessions(setup):
    data = random.Random(FILE_SEED).randbytes(FILE_BYTES)
    with open(os.path.join(setup.root, "random.bin"), "wb") as f:
        f.write(data)
    with open(os.path.join(setup.dir, "upload.bin"), "wb") as f:
        f.write(data)
    setup.start()
    started = time.monotonic()
    setup.wait_gate_open()
    say("gate open after %.1f s" % (time.monotonic() - started))

    passive = session(setup, active=False, data=data, label="passive")
    for port in passive.given_ports:
        if port in e2e.SERVER_PASSIVE_RANGE:
            raise Failure("the client was given the server's own passive port %d" % port)
    rewritten = [int(a) * 256 + int(b) for a, b in re.findall(
        r"make string:227 ENTERING PASSIVE MODE \(\d+,\d+,\d+,\d+,(\d+),(\d+)\)",
        setup.host_trace("alice"))]
    if sorted(set(passive.given_ports)) != sorted(set(rewritten)) or not rewritten:
        raise Failure("passive ports given %s are not alice's listeners %s"
                      % (passive.given_ports, rewritten))
    say("passive: client given %s (alice's listeners), server range %d-%d untouched"
        % (passive.given_ports, e2e.SERVER_PASSIVE_RANGE[0], e2e.SERVER_PASSIVE_RANGE[-1]))

    active = session(setup, active=True, data=data, label="active")
    logged = [int(a) * 256 + int(b) for a, b in re.findall(
        r"CMD PORT \d+,\d+,\d+,\d+,(\d+),(\d+)", e2e.read_text(setup.tunnel.server_log))]
    listeners = [int(a) * 256 + int(b) for a, b in re.findall(
        r"make string:PORT \d+,\d+,\d+,\d+,(\d+),(\d+)", setup.host_trace("bob"))]
    if not logged or len(logged) != len(active.announced_ports):
        raise Failure("server logged PORT %s, client announced %s"
                      % (logged, active.announced_ports))
    for port in logged:
        if port in active.announced_ports:
            raise Failure("the server was told the client's own port %d" % port)
        if port not in listeners:
            raise Failure("PORT %d is not one of bob's listeners %s" % (port, listeners))
    say("active: client announced %s, server was told %s (bob's listeners)"
        % (active.announced_ports, logged))

    setup.check_alive()
    # Let a traffic report pass after the last byte, then stop both.
    time.sleep(TRAFFIC_SETTLE_S)
    for name in ("alice", "bob"):
        setup.stop_host(name)
    alice_sent, alice_received = setup.totals("alice")
    bob_sent, bob_received = setup.totals("bob")
    say("traffic alice sent=%d received=%d, bob sent=%d received=%d"
        % (alice_sent, alice_received, bob_sent, bob_received))
    need = 2 * FILE_BYTES
    if min(alice_sent, alice_received, bob_sent, bob_received) < need:
        raise Failure("the traffic counters do not account for %d bytes each way" % need)
    if alice_sent != bob_received or bob_sent != alice_received:
        raise Failure("the two sides' counters disagree")
    say("OK")


class FtplibThroughTwoHosts(unittest.TestCase):
    def test_passive_then_active_session_through_one_gate(self):
        setup = HostSetup()
        keep = bool(os.environ.get("QUILLON_E2E_KEEP"))
        try:
            check_both_sessions(setup)
        except (Failure, e2e.SetupError, ftplib.Error, OSError, EOFError) as error:
            say("FAILED: %s: %s" % (type(error).__name__, error))
            for name in ("alice", "bob"):
                say("--- %s host log (tail) ---\n%s" % (name, setup.host_log(name)[-3000:]))
            say("--- driver log (tail) ---\n%s" % setup.tunnel.driver_log()[-2000:])
            say("work directory kept: " + setup.dir)
            keep = True
            raise
        finally:
            setup.close()
            if not keep:
                shutil.rmtree(setup.dir, ignore_errors=True)


def main():
    global BUILD_DIR
    e2e.list_cases_if_asked(__name__)
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--gateway", default="quillon-host",
                        help="accepted so CTest can call every e2e script alike; always quillon-host")
    args, rest = parser.parse_known_args()
    BUILD_DIR = os.path.abspath(args.build)
    unittest.main(argv=[sys.argv[0], "-v"] + rest)


if __name__ == "__main__":
    main()
