"""The end-to-end set-up shared by scripts/demo, scripts/bench and the e2e tests.

Two "hosts", alice (Client mode, beside the FTP client) and bob (Server mode,
beside the FTP server), each in its own network namespace with nothing but
its loopback, so the two have no network path to each other. The driver runs
outside both; its Unix sockets are reached through the file system.

Isolation, in order of preference:
  root   one `unshare -n` namespace per host, entered with nsenter;
  user   one `unshare -rn` user + network namespace per host (unprivileged);
  none   one shared loopback, with the LISTENPORT / HOST / PORT overrides.
Inside a namespace the real ports are used: the Client listens on
127.0.0.1:21 and the Server connects to localhost:21.
"""
import hashlib
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SYSTEM_PYTHON = "/usr/bin/python3"
TCP_LISTEN_STATE = "0A"
# The ports bob's FTP server hands out for passive transfers: a client
# given one of these went around the tunnel.
SERVER_PASSIVE_RANGE = range(30000, 30100)
SEED_MASK = 0xffff


class SetupError(Exception):
    pass


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def stable_seed(name):
    """A seed derived from name that is the same in every run (str hashes are salted)."""
    return zlib.crc32(name.encode("utf-8")) & SEED_MASK


def write_random_file(path, size, seed=1):
    rng = __import__("random").Random(seed)
    with open(path, "wb") as f:
        left = size
        while left > 0:
            n = min(left, 1 << 20)
            f.write(rng.randbytes(n))
            left -= n


def wait_for(predicate, timeout, what, interval=0.1, on_wait=None):
    """Polls predicate until it returns a true value; raises SetupError after timeout."""
    deadline = time.monotonic() + timeout
    last_note = 0.0
    while True:
        value = predicate()
        if value:
            return value
        now = time.monotonic()
        if now >= deadline:
            raise SetupError("timed out after %.0f s waiting for %s" % (timeout, what))
        if on_wait is not None and now - last_note >= 1.0:
            last_note = now
            on_wait()
        time.sleep(interval)


def case_names(module):
    """The test classes of module that hold tests, in the order they are written.

    These are the CTest names too: tests/e2e/CMakeLists.txt asks each script
    for them (--list), so a class added here is run without being listed twice.
    """
    loader = unittest.TestLoader()
    return [name for name, value in vars(module).items()
            if isinstance(value, type) and issubclass(value, unittest.TestCase)
            and value.__module__ == module.__name__ and loader.getTestCaseNames(value)]


def list_cases_if_asked(module_name):
    """Prints the module's test classes one a line and exits when --list is given."""
    if "--list" in sys.argv[1:]:
        for name in case_names(sys.modules[module_name]):
            print(name)
        sys.exit(0)


def choose_isolation():
    """root, user or none: the strongest isolation this machine allows."""
    forced = os.environ.get("QUILLON_E2E_ISOLATION")
    if forced:
        return forced
    if shutil.which("unshare") is None or shutil.which("nsenter") is None:
        return "none"
    probe = ["unshare", "-n", "true"] if os.geteuid() == 0 else ["unshare", "-rn", "true"]
    try:
        ok = subprocess.run(probe, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            timeout=10).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        ok = False
    if ok:
        return "root" if os.geteuid() == 0 else "user"
    return "none"


class Host:
    """One side: a directory, and a network namespace unless isolation is none."""

    def __init__(self, name, workdir, isolation):
        self.name = name
        self.dir = os.path.join(workdir, name)
        self.isolation = isolation
        self.holder = None
        os.makedirs(self.dir, exist_ok=True)
        self.run_dir = os.path.join(self.dir, "run")
        os.makedirs(self.run_dir, mode=0o700, exist_ok=True)
        if isolation == "none":
            return
        unshare = ["unshare", "-n"] if isolation == "root" else ["unshare", "-rn"]
        self.holder = subprocess.Popen(
            unshare + ["sh", "-c", "ip link set lo up && echo ready && exec sleep infinity"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            start_new_session=True)
        line = self.holder.stdout.readline().strip()
        if line != "ready":
            raise SetupError("%s: could not set up a network namespace: %s"
                             % (name, self.holder.stderr.read().strip()))
        self.holder.stdout.close()
        self.holder.stderr.close()

    def prefix(self):
        if self.holder is None:
            return []
        enter = ["nsenter", "-t", str(self.holder.pid), "-n"]
        if self.isolation == "user":
            enter += ["-U", "--preserve-credentials"]
        return enter + ["--"]

    def popen(self, argv, log_name, env=None, stdin=subprocess.DEVNULL):
        out = open(os.path.join(self.dir, log_name + ".out"), "wb")
        err = open(os.path.join(self.dir, log_name + ".err"), "wb")
        full_env = dict(os.environ)
        full_env.update(env or {})
        try:
            return subprocess.Popen(self.prefix() + argv, stdout=out, stderr=err, stdin=stdin,
                                    env=full_env, start_new_session=True)
        finally:
            out.close()  # the child holds its own copies
            err.close()

    def run(self, argv, timeout, env=None):
        full_env = dict(os.environ)
        full_env.update(env or {})
        return subprocess.run(self.prefix() + argv, capture_output=True, text=True,
                              timeout=timeout, env=full_env)

    def listening_ports(self):
        """The TCP ports listening in this host's namespace (from /proc/net/tcp)."""
        result = self.run(["cat", "/proc/net/tcp"], timeout=10)
        ports = set()
        for line in result.stdout.splitlines()[1:]:
            fields = line.split()
            if len(fields) > 3 and fields[3] == TCP_LISTEN_STATE:
                ports.add(int(fields[1].split(":")[1], 16))
        return ports

    def close(self):
        if self.holder is not None and self.holder.poll() is None:
            os.killpg(self.holder.pid, signal.SIGKILL)
            self.holder.wait()


def stop_process(proc, grace=3.0):
    if proc is None or proc.poll() is not None:
        return
    try:
        os.killpg(proc.pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    try:
        proc.wait(timeout=grace)
    except subprocess.TimeoutExpired:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        proc.wait()


def read_text(path):
    try:
        with open(path, "r", errors="replace") as f:
            return f.read()
    except OSError:
        return ""


class Tunnel:
    """The whole set-up: driver, alice's Client gateway, bob's Server gateway and FTP server."""

    def __init__(self, build_dir, workdir=None, isolation=None, gateway="quillonftp",
                 show=False, say=None, debug=True, extra_accounts=None, contacts=None,
                 enable_user=1, gateway_env=None):
        self.build_dir = build_dir
        self.workdir = workdir or tempfile.mkdtemp(prefix="quillon-e2e-")
        self.isolation = isolation or choose_isolation()
        self.gateway_kind = gateway
        self.show = show
        self.say = say or (lambda text: None)
        self.debug = debug  # "-D583": the gateways' traces go to gateway.out
        self.extra_accounts = extra_accounts or {}  # handle -> contacts, for scripted consoles
        self.contacts = contacts or {"alice": "bob", "bob": "alice"}
        self.enable_user = enable_user  # the gateways' ENABLEUSER
        self.gateway_env = gateway_env  # host -> extra environment of its gateway
        self.processes = []
        self.hosts = {}
        self.driver = None
        self.gateways = {}
        self.ftp_server = None
        self.driver_config = os.path.join(self.workdir, "driver.ini")
        self.sockets = {}
        self.ftp_root = os.path.join(self.workdir, "ftp-root")
        self.server_log = os.path.join(self.workdir, "ftp-server.log")
        os.makedirs(self.ftp_root, exist_ok=True)
        if self.isolation == "none":
            self.client_port = free_port()
            self.server_port = free_port()
        else:
            self.client_port = 21
            self.server_port = 21

    # -- programs -------------------------------------------------------------

    def program(self, name):
        candidates = {
            "quillon-driver": ["driver/quillon-driver"],
            "quillonftp": ["app/quillonftp"],
            "quillon-host": ["host/quillon-host"],
        }[name]
        for relative in candidates:
            path = os.path.join(self.build_dir, relative)
            if os.access(path, os.X_OK):
                return path
        raise SetupError("%s is not built in %s" % (name, self.build_dir))

    def start(self):
        for name in ("alice", "bob"):
            self.hosts[name] = Host(name, self.workdir, self.isolation)
        self.start_driver()
        self.start_ftp_server()
        self.start_gateway("bob", client_mode=False, peer="alice")
        self.start_gateway("alice", client_mode=True, peer="bob")
        return self

    def start_driver(self):
        for name in ("alice", "bob"):
            self.sockets[name] = os.path.join(self.workdir, "sockets", name + ".sock")
        os.makedirs(os.path.join(self.workdir, "sockets"), mode=0o700, exist_ok=True)
        with open(self.driver_config, "w") as f:
            for handle in ("alice", "bob"):
                f.write("[%s]\nsocket=%s\ncontacts=%s\n\n" % (handle, self.sockets[handle],
                                                                 self.contacts[handle]))
            for handle, contacts in self.extra_accounts.items():
                self.sockets[handle] = os.path.join(self.workdir, "sockets", handle + ".sock")
                f.write("[%s]\nsocket=%s\ncontacts=%s\n\n" % (handle, self.sockets[handle],
                                                                 contacts))
        with open(os.path.join(self.workdir, "driver.out"), "ab") as out, \
                open(os.path.join(self.workdir, "driver.err"), "ab") as err:
            self.driver = subprocess.Popen([self.program("quillon-driver"), "--config",
                                            self.driver_config], stdout=out, stderr=err,
                                           stdin=subprocess.DEVNULL, start_new_session=True)
        self.processes.append(self.driver)
        wait_for(lambda: all(os.path.exists(p) for p in self.sockets.values())
                 or self.driver.poll() is not None, 10, "the driver's sockets")
        if self.driver.poll() is not None:
            raise SetupError("the driver ended at start: " + self.driver_log())

    def restart_driver(self):
        stop_process(self.driver)
        self.start_driver()

    def start_ftp_server(self):
        bob = self.hosts["bob"]
        self.ftp_server = bob.popen(
            [SYSTEM_PYTHON, os.path.join(HERE, "ftp_server.py"), "--port", str(self.server_port),
             "--root", self.ftp_root, "--log", self.server_log, "--passive",
             "%d-%d" % (SERVER_PASSIVE_RANGE[0], SERVER_PASSIVE_RANGE[-1])]
            + (["--user", self.ftp_user, "--password", self.ftp_password]
               if getattr(self, "ftp_user", None) else []),
            "ftp-server")
        self.processes.append(self.ftp_server)
        wait_for(lambda: self.server_port in bob.listening_ports()
                 or self.ftp_server.poll() is not None, 15, "the FTP server")
        if self.ftp_server.poll() is not None:
            raise SetupError("the FTP server ended at start: "
                             + read_text(os.path.join(bob.dir, "ftp-server.err")))

    def write_settings(self, name, client_mode, peer):
        host = self.hosts[name]
        lines = ["[SYSTEM]", "APPMODE=%d" % (1 if client_mode else 0),
                 "ENABLEUSER=%d" % self.enable_user, "SOUNDMODE=0", "[CLIENT]",
                 "AUTOCONNECT=%d" % (1 if client_mode else 0),
                 "AUTOCONNECTUSER=%s" % (peer if client_mode else "")]
        if self.isolation == "none":
            lines += ["LISTENPORT=%d" % self.client_port, "[SERVER]", "HOST=127.0.0.1",
                      "PORT=%d" % self.server_port]
        with open(os.path.join(host.dir, "QuillonForFTP.ini"), "w") as f:
            f.write("\n".join(lines) + "\n")

    def start_gateway(self, name, client_mode, peer, extra_args=()):
        host = self.hosts[name]
        self.write_settings(name, client_mode, peer)
        binary = self.program(self.gateway_kind)
        link = os.path.join(host.dir, self.gateway_kind)
        if not os.path.exists(link):
            os.symlink(binary, link)
        env = {"XDG_RUNTIME_DIR": host.run_dir, "QUILLON_DRIVER": self.sockets[name]}
        if self.gateway_env is not None:
            env.update(self.gateway_env(host))
        if not self.show or not os.environ.get("DISPLAY"):
            env["QT_QPA_PLATFORM"] = "offscreen"
        args = [link] + (["-D583"] if self.debug else []) + list(extra_args)
        if self.gateway_kind == "quillon-host":
            args += ["--connect", peer]  # the headless host takes its contact here
        proc = host.popen(args, "gateway", env=env)
        self.gateways[name] = proc
        self.processes.append(proc)
        return proc

    def stop_gateway(self, name, kill=False):
        proc = self.gateways.pop(name, None)
        if proc is None:
            return
        if kill:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
        else:
            stop_process(proc)

    # -- observations ---------------------------------------------------------

    def driver_log(self):
        return read_text(os.path.join(self.workdir, "driver.err"))

    def gateway_trace(self, name):
        return read_text(os.path.join(self.hosts[name].dir, "gateway.out"))

    def gate_open(self):
        """The Client's listener exists exactly while its stream to bob exists."""
        return self.client_port in self.hosts["alice"].listening_ports()

    def check_alive(self):
        for name, proc in list(self.gateways.items()):
            if proc.poll() is not None:
                raise SetupError("%s's gateway ended (exit %s): %s" % (
                    name, proc.returncode,
                    read_text(os.path.join(self.hosts[name].dir, "gateway.err"))[-2000:]))
        if self.driver is not None and self.driver.poll() is not None:
            raise SetupError("the driver ended: " + self.driver_log()[-2000:])

    def wait_gate_open(self, timeout=60):
        def is_open():
            self.check_alive()
            return self.gate_open()
        wait_for(is_open, timeout, "the gate to open",
                 on_wait=lambda: self.say("waiting for the gate to open ..."))

    # -- FTP client -----------------------------------------------------------

    def ftp(self, steps, active=False, timeout=120, on_progress=None, client_timeout=30):
        """Runs one FTP session in alice's host; returns the client's JSON result."""
        alice = self.hosts["alice"]
        argv = [SYSTEM_PYTHON, os.path.join(HERE, "ftp_client.py"), "--port",
                str(self.client_port), "--timeout", str(client_timeout)]
        if active:
            argv.append("--active")
        argv += steps
        proc = subprocess.Popen(alice.prefix() + argv, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, start_new_session=True)
        self.processes.append(proc)
        result = None
        deadline = time.monotonic() + timeout
        import json
        import selectors
        sel = selectors.DefaultSelector()
        sel.register(proc.stdout, selectors.EVENT_READ)
        while True:
            if time.monotonic() > deadline:
                stop_process(proc)
                raise SetupError("the FTP session did not end within %d s" % timeout)
            if not sel.select(timeout=0.5):
                if proc.poll() is not None:
                    break
                continue
            line = proc.stdout.readline()
            if not line:
                break
            line = line.strip()
            if line.startswith("progress ") and on_progress is not None:
                _, step, count = line.split()
                on_progress(step, int(count))
            elif line.startswith("{"):
                result = json.loads(line)
        proc.wait()
        error = proc.stderr.read().strip()
        proc.stdout.close()
        proc.stderr.close()
        if result is None:
            result = {"ok": False, "results": [], "error": error or "no result"}
        result["stderr"] = error
        return result

    def close(self):
        for proc in reversed(self.processes):
            stop_process(proc)
        for host in self.hosts.values():
            host.close()
