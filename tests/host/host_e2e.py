#!/usr/bin/python3
"""End to end through two quillon-host processes and the real driver.

alice runs a Client-mode host beside Python's ftplib, bob a Server-mode host
beside a pyftpdlib server; both attach to one quillon-driver. Everything runs
on one loopback with the LISTENPORT / HOST / PORT overrides, so the test also
proves that the data went through the tunnel and not around it:
  - the server hands out passive ports from a known range, and the ports the
    client is given in its 227 replies must lie outside it;
  - the PORT commands the server receives must name bob's data-link listener,
    never the port the client announced;
  - the hosts' traffic counters must account for every byte of the files.

Two FTP sessions one after the other on the same gate: the first passive
(LIST, RETR and STOR of a 5 MB random file), the second active (the same).
Prints one line per step with sizes, seconds and SHA-256, and exits 0 only
when every check held.
"""
import argparse
import ftplib
import hashlib
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

FILE_BYTES = 5 * 1024 * 1024
PASSIVE_FIRST = 20000
PASSIVE_LAST = 20099
SYSTEM_PYTHON = "/usr/bin/python3"
HERE = os.path.dirname(os.path.abspath(__file__))
GATE_TIMEOUT_S = 60
SESSION_TIMEOUT_S = 120
TCP_LISTEN = "0A"
TRAFFIC_SETTLE_S = 2.5  # more than two of the hosts' 1000 ms traffic periods


class Failure(Exception):
    pass


def say(text):
    print("host-e2e: " + text, flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if fields[3] == TCP_LISTEN and int(fields[1].split(":")[1], 16) == port:
                return True
    return False


def wait_for(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise Failure("timed out after %d s waiting for %s" % (timeout, what))
        time.sleep(0.1)


def read(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except OSError:
        return ""


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


class Setup:
    def __init__(self, args):
        self.args = args
        self.dir = tempfile.mkdtemp(prefix="quillon-host-e2e-")
        self.processes = []
        self.hosts = {}
        self.ftp_port = free_port()
        self.listen_port = free_port()
        self.root = os.path.join(self.dir, "ftp-root")
        os.makedirs(self.root)
        self.server_log = os.path.join(self.dir, "ftp-server.log")
        self.sockets = {n: os.path.join(self.dir, n + ".sock") for n in ("alice", "bob")}

    def spawn(self, argv, name, env=None):
        full_env = dict(os.environ)
        full_env.update(env or {})
        out = open(os.path.join(self.dir, name + ".out"), "wb")
        err = open(os.path.join(self.dir, name + ".err"), "wb")
        proc = subprocess.Popen(argv, stdout=out, stderr=err, stdin=subprocess.DEVNULL,
                                env=full_env, start_new_session=True)
        self.processes.append(proc)
        return proc

    def start(self):
        config = os.path.join(self.dir, "driver.ini")
        with open(config, "w") as f:
            f.write("[alice]\nsocket=%s\ncontacts=bob\n\n" % self.sockets["alice"])
            f.write("[bob]\nsocket=%s\ncontacts=alice\n" % self.sockets["bob"])
        self.driver = self.spawn([self.args.driver, "--config", config], "driver")
        wait_for(lambda: all(os.path.exists(p) for p in self.sockets.values())
                 or self.driver.poll() is not None, 10, "the driver's sockets")
        if self.driver.poll() is not None:
            raise Failure("driver ended: " + read(os.path.join(self.dir, "driver.err")))

        server = self.spawn([SYSTEM_PYTHON, os.path.join(HERE, "e2e_ftp_server.py"),
                             "--port", str(self.ftp_port), "--root", self.root,
                             "--passive", "%d-%d" % (PASSIVE_FIRST, PASSIVE_LAST),
                             "--log", self.server_log], "ftp-server")
        wait_for(lambda: listening(self.ftp_port) or server.poll() is not None, 15,
                 "the FTP server")
        if server.poll() is not None:
            raise Failure("FTP server ended: " + read(os.path.join(self.dir, "ftp-server.err")))

        self.start_host("bob", [
            "[SYSTEM]", "APPMODE=0", "ENABLEUSER=0", "[CLIENT]", "AUTOCONNECTUSER=alice",
            "[SERVER]", "HOST=127.0.0.1", "PORT=%d" % self.ftp_port])
        self.start_host("alice", [
            "[SYSTEM]", "APPMODE=1", "ENABLEUSER=0", "[CLIENT]", "AUTOCONNECT=1",
            "AUTOCONNECTUSER=bob", "LISTENPORT=%d" % self.listen_port])

    def start_host(self, name, ini_lines):
        home = os.path.join(self.dir, name)
        os.makedirs(home)
        with open(os.path.join(home, "QuillonForFTP.ini"), "w") as f:
            f.write("\n".join(ini_lines) + "\n")
        self.hosts[name] = self.spawn(
            [self.args.host, "-D583", "--settings", home, "--driver", self.sockets[name]],
            name)

    def host_log(self, name):
        return read(os.path.join(self.dir, name + ".err"))

    def host_trace(self, name):
        return read(os.path.join(self.dir, name + ".out"))

    def check_alive(self):
        for name, proc in self.hosts.items():
            if proc.poll() is not None:
                raise Failure("%s's host ended (exit %s): %s"
                              % (name, proc.returncode, self.host_log(name)[-2000:]))

    def wait_gate_open(self):
        def is_open():
            self.check_alive()
            return ("gate open" in self.host_log("alice") and "gate open" in self.host_log("bob")
                    and listening(self.listen_port))
        wait_for(is_open, GATE_TIMEOUT_S, "the gate to open")

    def stop_host(self, name):
        proc = self.hosts[name]
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(timeout=10)
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
        for proc in reversed(self.processes):
            if proc.poll() is None:
                try:
                    os.killpg(proc.pid, signal.SIGTERM)
                    proc.wait(timeout=5)
                except (ProcessLookupError, subprocess.TimeoutExpired):
                    try:
                        os.killpg(proc.pid, signal.SIGKILL)
                    except ProcessLookupError:
                        pass
                    proc.wait()


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


def run(args):
    setup = Setup(args)
    try:
        data = random.Random(583).randbytes(FILE_BYTES)
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
            if PASSIVE_FIRST <= port <= PASSIVE_LAST:
                raise Failure("the client was given the server's own passive port %d" % port)
        rewritten = [int(a) * 256 + int(b) for a, b in re.findall(
            r"make string:227 ENTERING PASSIVE MODE \(\d+,\d+,\d+,\d+,(\d+),(\d+)\)",
            setup.host_trace("alice"))]
        if sorted(set(passive.given_ports)) != sorted(set(rewritten)) or not rewritten:
            raise Failure("passive ports given %s are not alice's listeners %s"
                          % (passive.given_ports, rewritten))
        say("passive: client given %s (alice's listeners), server range %d-%d untouched"
            % (passive.given_ports, PASSIVE_FIRST, PASSIVE_LAST))

        active = session(setup, active=True, data=data, label="active")
        logged = [int(a) * 256 + int(b) for a, b in re.findall(
            r"CMD PORT \d+,\d+,\d+,\d+,(\d+),(\d+)", read(setup.server_log))]
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
        return 0
    except (Failure, ftplib.Error, OSError, EOFError) as error:
        say("FAILED: %s: %s" % (type(error).__name__, error))
        for name in ("alice", "bob"):
            say("--- %s host log (tail) ---\n%s" % (name, setup.host_log(name)[-3000:]))
        say("--- driver log (tail) ---\n%s" % read(os.path.join(setup.dir, "driver.err"))[-2000:])
        say("work directory kept: " + setup.dir)
        args.keep = True
        return 1
    finally:
        setup.close()
        if not args.keep:
            shutil.rmtree(setup.dir, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", required=True, help="the quillon-host program")
    parser.add_argument("--driver", required=True, help="the quillon-driver program")
    parser.add_argument("--keep", action="store_true", help="keep the work directory")
    return run(parser.parse_args())


if __name__ == "__main__":
    sys.exit(main())
