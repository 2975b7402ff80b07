"""A throw-away XMPP network for the end-to-end tests, the demo and the benchmark.

Hosts are named network namespaces (`ip netns`, so needs root):

  one server   S runs prosody for a.test; host A (alice: FTP client, her
               driver and Client gateway) and host B (bob: FTP server, his
               driver and Server gateway) each have one veth link to S.
  federation   SA runs prosody for a.test, SB for b.test; A links to SA, B to
               SB, and SA and SB federate across a link of their own. Each
               server finds the other through /etc/netns/NAME/hosts, which
               prosody reads through libunbound (`unbound = { hoststxt = true }`).

A and B have a default route through their server, which does not forward, so
A has no path to B (`XmppNet.prove_isolation` shows it). Addresses come from
198.18.0.0/15, the range set aside for benchmarking networks.

Prosody runs from a temporary directory with its own configuration, data,
logs and pid file; never as the system service. The configuration is what a
server must allow for the tunnel: STARTTLS (certificates from a throw-away CA
made with openssl), Nagle off, and no `limits` module (whose usual c2s cap of
10 kB/s would throttle every transfer).
"""
import itertools
import os
import shutil
import signal
import subprocess
import tempfile

import quillon_e2e as e2e

NETNS_DIR = "/etc/netns"
C2S_PORT = 5222
S2S_PORT = 5269
PROSODY_START_S = 20
ISOLATION_PROBE_S = 2.0  # a SYN dropped by a non-forwarding server never gets an answer
CERT_DAYS = 2

# Addresses: one /24 per link, the server end .1.
LINK_A = ("198.18.1.1", "198.18.1.2")    # server of a.test, host A
LINK_B = ("198.18.2.1", "198.18.2.2")    # server of b.test (or the one server), host B
LINK_S2S = ("198.18.3.1", "198.18.3.2")  # server of a.test, server of b.test

_names = itertools.count()


class NetError(e2e.SetupError):
    pass


def can_build():
    """Empty when this machine can build the network; else why not."""
    if os.geteuid() != 0:
        return "needs root for named network namespaces"
    for tool in ("ip", "prosody", "prosodyctl", "openssl"):
        if shutil.which(tool) is None:
            return "%s is not installed" % tool
    return ""


def run(argv, timeout=30, **kwargs):
    result = subprocess.run(argv, capture_output=True, text=True, timeout=timeout, **kwargs)
    if result.returncode != 0:
        raise NetError("%s failed: %s" % (" ".join(argv), result.stderr.strip()))
    return result


# -- certificates -------------------------------------------------------------

def make_ca(directory, domains):
    """A throw-away CA and a certificate per domain (in directory/DOMAIN/); returns the CA's path."""
    os.makedirs(directory, exist_ok=True)
    ca_key = os.path.join(directory, "ca.key")
    ca_pem = os.path.join(directory, "ca.pem")
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    run(["openssl", "req", "-x509"] + ec + ["-keyout", ca_key, "-out", ca_pem,
         "-days", str(CERT_DAYS), "-subj", "/CN=Quillon throw-away test CA",
         "-addext", "basicConstraints=critical,CA:TRUE",
         "-addext", "keyUsage=critical,keyCertSign,cRLSign"])
    for domain in domains:
        # One directory per server, so each server sees only its own key.
        own = os.path.join(directory, domain)
        os.makedirs(own, mode=0o700, exist_ok=True)
        key = os.path.join(own, domain + ".key")
        csr = os.path.join(own, domain + ".csr")
        crt = os.path.join(own, domain + ".crt")
        ext = os.path.join(own, domain + ".ext")
        with open(ext, "w") as f:
            f.write("basicConstraints=CA:FALSE\nsubjectAltName=DNS:%s\n"
                    "extendedKeyUsage=serverAuth,clientAuth\n" % domain)
        run(["openssl", "req"] + ec + ["-keyout", key, "-out", csr, "-subj", "/CN=" + domain])
        run(["openssl", "x509", "-req", "-in", csr, "-CA", ca_pem, "-CAkey", ca_key,
             "-CAcreateserial", "-out", crt, "-days", str(CERT_DAYS), "-extfile", ext])
    return ca_pem


# -- namespaces ---------------------------------------------------------------

PR_SET_PDEATHSIG = 1


def die_with_parent():
    """In the child before exec: SIGKILL when the parent goes (kept across exec)."""
    import ctypes
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


class Netns(e2e.Host):
    """A named network namespace with its own directory; the e2e Host interface."""

    def __init__(self, name, workdir, tag):
        self.name = name
        self.ns = "qx%d-%d%s" % (os.getpid(), next(_names), tag)
        self.dir = os.path.join(workdir, name)
        self.isolation = "root"
        self.holder = None
        os.makedirs(self.dir, exist_ok=True)
        self.run_dir = os.path.join(self.dir, "run")
        os.makedirs(self.run_dir, mode=0o700, exist_ok=True)
        run(["ip", "netns", "add", self.ns])
        self.etc = os.path.join(NETNS_DIR, self.ns)
        os.makedirs(self.etc, exist_ok=True)
        # `ip netns exec` binds these over /etc/hosts for everything run here.
        self.set_hosts({})
        run(["ip", "-n", self.ns, "link", "set", "lo", "up"])
        run(["ip", "netns", "exec", self.ns, "sysctl", "-q", "-w", "net.ipv4.ip_forward=0"])

    def set_hosts(self, names):
        with open(os.path.join(self.etc, "hosts"), "w") as f:
            f.write("127.0.0.1 localhost\n")
            for name, address in names.items():
                f.write("%s %s\n" % (address, name))

    def prefix(self):
        return ["ip", "netns", "exec", self.ns]

    def popen(self, argv, log_name, env=None, stdin=subprocess.DEVNULL):
        """As Host.popen, and the child dies with the process that started it,
        so a test killed by its time-out leaves no server or driver behind."""
        out = open(os.path.join(self.dir, log_name + ".out"), "wb")
        err = open(os.path.join(self.dir, log_name + ".err"), "wb")
        full_env = dict(os.environ)
        full_env.update(env or {})
        try:
            return subprocess.Popen(self.prefix() + argv, stdout=out, stderr=err, stdin=stdin,
                                    env=full_env, start_new_session=True,
                                    preexec_fn=die_with_parent)
        finally:
            out.close()  # the child holds its own copies
            err.close()

    def close(self):
        subprocess.run(["ip", "netns", "del", self.ns], capture_output=True)
        shutil.rmtree(self.etc, ignore_errors=True)


def link(left, left_address, right, right_address, left_if, right_if):
    """One veth pair between two namespaces, a /24 between them."""
    run(["ip", "-n", left.ns, "link", "add", left_if, "type", "veth", "peer", "name", right_if,
         "netns", right.ns])
    for ns, interface, address in ((left, left_if, left_address), (right, right_if, right_address)):
        run(["ip", "-n", ns.ns, "addr", "add", address + "/24", "dev", interface])
        run(["ip", "-n", ns.ns, "link", "set", interface, "up"])


# -- prosody ------------------------------------------------------------------

PROSODY_CONFIG = """\
-- A throw-away server for the tests; never the system service.
run_as_root = true
pidfile = "{dir}/prosody.pid"
data_path = "{dir}/data"
log = {{ {{ levels = {{ min = "{level}" }}, to = "file", filename = "{dir}/prosody.log" }} }}
plugin_paths = {{ }}
certificates = "{certs}"
modules_enabled = {{
  "roster"; "saslauth"; "tls"; "dialback"; "disco"; "ping"; "posix"; "smacks"; {extra}
}}
-- Not "limits": a c2s rate cap would throttle every transfer.
modules_disabled = {{ "limits" }}
network_settings = {{ nagle = false }}
authentication = "internal_hashed"
storage = "internal"
c2s_require_encryption = true
s2s_require_encryption = true
-- Federation peers present certificates from the tests' own CA, which the
-- servers do not trust, so they prove who they are by dialback.
s2s_secure_auth = false
unbound = {{ hoststxt = true; resolvconf = false }}
c2s_ports = {{ {c2s} }}
s2s_ports = {{ {s2s} }}
interfaces = {{ "*" }}

VirtualHost "{domain}"
  ssl = {{ key = "{certs}/{domain}.key"; certificate = "{certs}/{domain}.crt" }}
"""


class Prosody:
    """One prosody for one domain, run in a namespace from its own directory."""

    def __init__(self, host, domain, certs, stanza_log=False):
        self.host = host
        self.domain = domain
        self.certs = certs
        self.dir = os.path.join(host.dir, "prosody-" + domain)
        os.makedirs(os.path.join(self.dir, "data"), mode=0o700, exist_ok=True)
        self.config = os.path.join(self.dir, "prosody.cfg.lua")
        self.log = os.path.join(self.dir, "prosody.log")
        self.stanza_log = stanza_log
        self.proc = None
        with open(self.config, "w") as f:
            f.write(PROSODY_CONFIG.format(
                dir=self.dir, level="debug" if stanza_log else "info",
                extra='"stanza_debug";' if stanza_log else "", c2s=C2S_PORT, s2s=S2S_PORT,
                domain=domain, certs=certs))

    def register(self, user, password):
        run(["prosodyctl", "--config", self.config, "register", user, self.domain, password],
            timeout=60)

    def start(self):
        self.proc = self.host.popen(["prosody", "-F", "--config", self.config],
                                    "prosody-" + self.domain)
        e2e.wait_for(lambda: C2S_PORT in self.host.listening_ports()
                     or self.proc.poll() is not None, PROSODY_START_S,
                     "prosody for " + self.domain)
        if self.proc.poll() is not None:
            raise NetError("prosody for %s ended at start: %s" % (
                self.domain, e2e.read_text(self.log)[-3000:]
                + e2e.read_text(os.path.join(self.host.dir, "prosody-%s.err" % self.domain))))
        return self

    def kill(self):
        """SIGKILL: no goodbye to any client or peer server."""
        if self.proc is not None and self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()

    def stop(self):
        e2e.stop_process(self.proc)

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def log_text(self):
        return e2e.read_text(self.log)


# -- the network --------------------------------------------------------------

class Account:
    def __init__(self, user, domain, password, server_address):
        self.user = user
        self.domain = domain
        self.jid = "%s@%s" % (user, domain)
        self.password = password
        self.server_address = server_address


class XmppNet:
    """Servers, hosts A and B, links and accounts; `close` removes all of it.

    After `start`: `hosts["alice"]` is A, `hosts["bob"]` is B, `servers` maps
    each domain to its Prosody, `accounts` maps alice and bob to their Account,
    `ca` is the CA certificate clients must trust.
    """

    def __init__(self, workdir, federated=False, stanza_log=False, extra_users=()):
        self.workdir = workdir
        self.federated = federated
        self.stanza_log = stanza_log
        self.extra_users = list(extra_users)  # more users on bob's server, same host B
        self.namespaces = []
        self.hosts = {}
        self.server_hosts = {}
        self.servers = {}
        self.accounts = {}
        self.ca = None

    def _ns(self, name, tag):
        ns = Netns(name, self.workdir, tag)
        self.namespaces.append(ns)
        return ns

    def start(self):
        try:
            self._start()
        except BaseException:
            self.close()
            raise
        return self

    def _start(self):
        alice_domain = "a.test"
        bob_domain = "b.test" if self.federated else "a.test"
        domains = sorted({alice_domain, bob_domain})
        self.ca = make_ca(os.path.join(self.workdir, "ca"), domains)
        a = self._ns("alice", "A")
        b = self._ns("bob", "B")
        self.hosts = {"alice": a, "bob": b}
        if self.federated:
            sa = self._ns("server-a", "SA")
            sb = self._ns("server-b", "SB")
            link(sa, LINK_A[0], a, LINK_A[1], "to-a", "eth0")
            link(sb, LINK_B[0], b, LINK_B[1], "to-b", "eth0")
            link(sa, LINK_S2S[0], sb, LINK_S2S[1], "to-b-test", "to-a-test")
            sa.set_hosts({"a.test": LINK_S2S[0], "b.test": LINK_S2S[1]})
            sb.set_hosts({"a.test": LINK_S2S[0], "b.test": LINK_S2S[1]})
            self.server_hosts = {alice_domain: sa, bob_domain: sb}
            addresses = {"alice": LINK_A[0], "bob": LINK_B[0]}
        else:
            s = self._ns("server", "S")
            link(s, LINK_A[0], a, LINK_A[1], "to-a", "eth0")
            link(s, LINK_B[0], b, LINK_B[1], "to-b", "eth0")
            s.set_hosts({"a.test": LINK_A[0]})
            self.server_hosts = {alice_domain: s}
            addresses = {"alice": LINK_A[0], "bob": LINK_B[0]}
        # A's and B's only way out is their server, which does not forward.
        run(["ip", "-n", a.ns, "route", "add", "default", "via", LINK_A[0]])
        run(["ip", "-n", b.ns, "route", "add", "default", "via", LINK_B[0]])
        a.set_hosts({alice_domain: LINK_A[0]})
        b.set_hosts({bob_domain: LINK_B[0]})

        for domain, host in self.server_hosts.items():
            self.servers[domain] = Prosody(host, domain,
                                           os.path.join(os.path.dirname(self.ca), domain),
                                           stanza_log=self.stanza_log)
        users = [("alice", alice_domain, addresses["alice"]),
                 ("bob", bob_domain, addresses["bob"])]
        users += [(u, bob_domain, addresses["bob"]) for u in self.extra_users]
        for user, domain, address in users:
            account = Account(user, domain, "pw-%s-%d" % (user, os.getpid()), address)
            self.servers[domain].register(user, account.password)
            self.accounts[user] = account
        for server in self.servers.values():
            server.start()

    def server_of(self, user):
        return self.servers[self.accounts[user].domain]

    def prove_isolation(self):
        """Raises NetError unless A's connection to a listener in B fails.

        The listener is in B and answers B itself, so a failure shows the path,
        not the listener, is missing.
        """
        a, b = self.hosts["alice"], self.hosts["bob"]
        port = 47000
        listener = b.popen([e2e.SYSTEM_PYTHON, "-c",
                            "import socket,time\n"
                            "s=socket.socket();s.setsockopt(socket.SOL_SOCKET,"
                            "socket.SO_REUSEADDR,1)\n"
                            "s.bind(('0.0.0.0',%d));s.listen(4);time.sleep(60)" % port],
                           "isolation-listener")
        try:
            e2e.wait_for(lambda: port in b.listening_ports(), 10, "B's probe listener")
            probe = ("import socket,sys\n"
                     "s=socket.socket();s.settimeout(%.1f)\n"
                     "sys.exit(s.connect_ex(('%%s',%d)))" % (ISOLATION_PROBE_S, port))
            from_b = b.run([e2e.SYSTEM_PYTHON, "-c", probe % LINK_B[1]], timeout=20)
            if from_b.returncode != 0:
                raise NetError("B's own probe listener did not answer B: %s" % from_b.stderr)
            from_a = a.run([e2e.SYSTEM_PYTHON, "-c", probe % LINK_B[1]], timeout=20)
            if from_a.returncode == 0:
                raise NetError("A reached B at %s: the hosts are not isolated" % LINK_B[1])
            return from_a.returncode  # the errno of the failed connect (or 1 for time-out)
        finally:
            e2e.stop_process(listener)

    def close(self):
        for server in self.servers.values():
            server.stop()
        for ns in reversed(self.namespaces):
            ns.close()
        self.namespaces = []


def temp_workdir(prefix):
    return tempfile.mkdtemp(prefix=prefix)
