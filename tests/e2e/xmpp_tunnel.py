"""The tunnel across the XMPP test network: one driver per host, each signed in
to its server, and the gateways attached to them unchanged.

  host A (alice)  her driver (alice@a.test), the Client gateway, the FTP client
  host B (bob)    his driver (bob@a.test, or bob@b.test when federated), the
                  Server gateway, the FTP server

`XmppTunnel` keeps the interface of `quillon_e2e.Tunnel` (start, hosts,
gateways, wait_gate_open, ftp, close, ...), so the demo and the tests use it
as they use the one-machine tunnel. With `rtt_ms`, each driver reaches its
server through delay_relay.py in its own host, which holds every byte for
rtt_ms / 4 each way: a round trip between the two drivers (two legs, there
and back) gains rtt_ms.
"""
import os
import stat

import quillon_e2e as e2e
import xmpp_net

DRIVER_SOCKET_S = 10
RELAY_PORT = 5223          # the delaying relay's port on the host's loopback
RELAY_START_S = 10


class XmppTunnel(e2e.Tunnel):
    def __init__(self, build_dir, federated=False, rtt_ms=0, stanza_log=False,
                 extra_users=(), contacts=None, **kwargs):
        # Absolute: each gateway runs through a symbolic link in its host's directory.
        super().__init__(os.path.abspath(build_dir), isolation="root", **kwargs)
        self.federated = federated
        self.rtt_ms = rtt_ms
        self.stanza_log = stanza_log
        self.extra_users = list(extra_users)
        self.xmpp_contacts = contacts  # user -> list of users; default alice <-> bob
        self.net = None
        self.drivers = {}
        self.driver_starts = {}
        self.killed = set()  # drivers a test killed on purpose
        self.relays = {}

    # -- set-up ---------------------------------------------------------------

    def jid(self, user):
        return self.net.accounts[user].jid

    def start_network(self):
        why = xmpp_net.can_build()
        if why:
            raise e2e.SetupError(why)
        self.net = xmpp_net.XmppNet(self.workdir, federated=self.federated,
                                    stanza_log=self.stanza_log,
                                    extra_users=self.extra_users).start()
        self.hosts = dict(self.net.hosts)
        return self.net

    def start(self):
        self.start_network()
        for user in ("alice", "bob"):
            self.start_driver(user)
        self.start_ftp_server()
        self.start_gateway("bob", client_mode=False, peer=self.jid("alice"))
        self.start_gateway("alice", client_mode=True, peer=self.jid("bob"))
        return self

    def host_of(self, user):
        return self.hosts["alice"] if user == "alice" else self.hosts["bob"]

    def contacts_of(self, user):
        if self.xmpp_contacts is not None:
            return self.xmpp_contacts.get(user, [])
        return {"alice": ["bob"], "bob": ["alice"]}.get(user, [])

    def start_relay(self, user):
        host = self.host_of(user)
        account = self.net.accounts[user]
        log_name = "relay-" + user
        proc = host.popen([e2e.SYSTEM_PYTHON, os.path.join(e2e.HERE, "delay_relay.py"),
                           "--listen", "127.0.0.1:%d" % RELAY_PORT,
                           "--to", "%s:%d" % (account.server_address, xmpp_net.C2S_PORT),
                           "--delay-ms", str(self.rtt_ms / 4.0)], log_name)
        self.processes.append(proc)
        out = os.path.join(host.dir, log_name + ".out")
        e2e.wait_for(lambda: "relay: listening" in e2e.read_text(out) or proc.poll() is not None,
                     RELAY_START_S, user + "'s delaying relay")
        if proc.poll() is not None:
            raise e2e.SetupError("the relay ended: " + e2e.read_text(
                os.path.join(host.dir, log_name + ".err")))
        self.relays[user] = proc

    def write_driver_config(self, user):
        """One account per driver, as a user writes it on their own machine."""
        host = self.host_of(user)
        account = self.net.accounts[user]
        password_file = os.path.join(host.dir, user + ".password")
        with open(password_file, "w") as f:
            f.write(account.password + "\n")
        os.chmod(password_file, stat.S_IRUSR | stat.S_IWUSR)
        socket_dir = os.path.join(host.dir, "sockets")
        os.makedirs(socket_dir, mode=0o700, exist_ok=True)
        self.sockets[user] = os.path.join(socket_dir, user + ".sock")
        if self.rtt_ms:
            server, port = "127.0.0.1", RELAY_PORT
        else:
            server, port = account.server_address, xmpp_net.C2S_PORT
        contacts = ", ".join(self.jid(c) for c in self.contacts_of(user))
        config = os.path.join(host.dir, "driver-%s.ini" % user)
        with open(config, "w") as f:
            f.write("[%s]\nsocket = %s\njid = %s\npassword_file = %s\nserver = %s\nport = %d\n"
                    "cafile = %s\ncontacts = %s\n" % (user, self.sockets[user], account.jid,
                                                      password_file, server, port, self.net.ca,
                                                      contacts))
        return config

    def start_driver(self, user="alice"):
        host = self.host_of(user)
        if self.rtt_ms and user not in self.relays:
            self.start_relay(user)
        config = self.write_driver_config(user)
        if os.path.exists(self.sockets[user]):
            os.unlink(self.sockets[user])
        self.killed.discard(user)
        count = self.driver_starts.get(user, 0) + 1
        self.driver_starts[user] = count
        proc = host.popen([self.program("quillon-driver"), "--config", config],
                          "driver-%s.%d" % (user, count))
        self.drivers[user] = proc
        self.processes.append(proc)
        e2e.wait_for(lambda: os.path.exists(self.sockets[user]) or proc.poll() is not None,
                     DRIVER_SOCKET_S, user + "'s driver socket")
        if proc.poll() is not None:
            raise e2e.SetupError("%s's driver ended at start: %s" % (user, self.driver_log(user)))
        return proc

    def kill_driver(self, user):
        import signal
        proc = self.drivers[user]
        self.killed.add(user)
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()

    def restart_driver(self, user="alice"):
        e2e.stop_process(self.drivers.get(user))
        return self.start_driver(user)

    # -- observations ---------------------------------------------------------

    def driver_log(self, user=None):
        users = [user] if user else sorted(self.drivers)
        text = []
        for u in users:
            host = self.host_of(u)
            for n in range(1, self.driver_starts.get(u, 0) + 1):
                text.append(e2e.read_text(os.path.join(host.dir, "driver-%s.%d.err" % (u, n))))
        return "".join(text)

    def check_alive(self):
        for name, proc in list(self.gateways.items()):
            if proc.poll() is not None:
                raise e2e.SetupError("%s's gateway ended (exit %s): %s" % (
                    name, proc.returncode, e2e.read_text(
                        os.path.join(self.hosts[name].dir, "gateway.err"))[-2000:]))
        for user, proc in list(self.drivers.items()):
            if user not in self.killed and proc.poll() is not None:
                raise e2e.SetupError("%s's driver ended (exit %s): %s" % (
                    user, proc.returncode, self.driver_log(user)[-2000:]))

    def close(self):
        super().close()
        if self.net is not None:
            self.net.close()
