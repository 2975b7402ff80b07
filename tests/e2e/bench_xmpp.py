#!/usr/bin/python3
"""Throughput benchmark of the tunnel across the XMPP test network.

Three hosts (prosody in S, alice in A, bob in B), one driver per host signed
in to the server; a passive RETR and a passive STOR through alice's gateway,
each timed, with the CPU seconds per MB of both gateways, both drivers and
the server (from /proc/PID/stat). With --rtt MS each driver reaches the
server through a delaying TCP relay in its own host, so every round trip
between the two drivers gains MS (MS / 2 on each driver's leg to the server).
The last line is
  throughput RETR=<bytes/s> STOR=<bytes/s> ceiling=512000 ratio=<lower/ceiling>
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quillon_e2e as e2e  # noqa: E402
import xmpp_tunnel  # noqa: E402

CEILING_BYTES_PER_S = 512000  # one 10240-byte data packet per 20 ms pump tick
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
GATE_OPEN_S = 150


def say(text):
    print("bench: " + text, flush=True)


def cpu_seconds(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--network", default="xmpp", choices=["xmpp"])
    parser.add_argument("--rtt", type=float, default=0,
                        help="milliseconds added to the round trip between the two drivers")
    parser.add_argument("--size", type=int, default=10 * 1000 * 1000)
    parser.add_argument("--gateway", default="quillonftp")
    parser.add_argument("--federated", action="store_true",
                        help="alice and bob on two federating servers")
    args = parser.parse_args()

    # Without "-D583": the traces of every packet would cost the gateways CPU.
    tunnel = xmpp_tunnel.XmppTunnel(os.path.abspath(args.build), gateway=args.gateway,
                                    debug=False, federated=args.federated, rtt_ms=args.rtt,
                                    say=say)
    failed = True  # until the last line is printed: keep the logs
    try:
        source = os.path.join(tunnel.ftp_root, "bench.bin")
        e2e.write_random_file(source, args.size, seed=3)
        tunnel.start()
        tunnel.net.prove_isolation()
        # Generous: the bench measures transfers, not how soon the gate opens
        # (the Client's automatic connection may wait for its next retry,
        # every 60.1 s: kAutoConnectRetryMs).
        tunnel.wait_gate_open(timeout=GATE_OPEN_S)
        upload = os.path.join(tunnel.hosts["alice"].dir, "upload.bin")
        e2e.write_random_file(upload, args.size, seed=4)
        pids = {"alice": tunnel.gateways["alice"].pid, "bob": tunnel.gateways["bob"].pid,
                "alice-driver": tunnel.drivers["alice"].pid,
                "bob-driver": tunnel.drivers["bob"].pid}
        for domain, server in tunnel.net.servers.items():
            pids["prosody-" + domain] = server.proc.pid
        say("%s; alice %s, bob %s; %s added to the round trip between the drivers"
            % ("two federating servers" if args.federated else "one server", tunnel.jid("alice"),
               tunnel.jid("bob"), "%g ms" % args.rtt if args.rtt else "nothing"))
        megabytes = args.size / 1e6
        rates = {}
        for step, spec in (("RETR", "retr:bench.bin:" + os.path.join(
                tunnel.hosts["alice"].dir, "down.bin")), ("STOR", "stor:%s:up.bin" % upload)):
            before = {name: cpu_seconds(pid) for name, pid in pids.items()}
            result = tunnel.ftp([spec], timeout=1800, client_timeout=120)
            if not result["ok"]:
                say("%s failed: %s" % (step, result.get("error")))
                return 1
            seconds = result["results"][0]["seconds"]
            rates[step] = args.size / seconds
            used = {name: (cpu_seconds(pid) - before[name]) / megabytes
                    for name, pid in pids.items()}
            say("%s %d bytes in %.2f s = %.0f bytes/s; CPU s/MB %s" % (
                step, args.size, seconds, rates[step],
                " ".join("%s=%.3f" % (name, value) for name, value in used.items())))
        down_sha = e2e.sha256_of(os.path.join(tunnel.hosts["alice"].dir, "down.bin"))
        up_sha = e2e.sha256_of(os.path.join(tunnel.ftp_root, "up.bin"))
        if down_sha != e2e.sha256_of(source) or up_sha != e2e.sha256_of(upload):
            say("FAILED a file arrived changed")
            return 1
        lower = min(rates.values())
        print("throughput RETR=%d STOR=%d ceiling=%d ratio=%.2f" % (
            rates["RETR"], rates["STOR"], CEILING_BYTES_PER_S, lower / CEILING_BYTES_PER_S),
            flush=True)
        failed = False
        return 0
    except e2e.SetupError as error:
        say("FAILED %s (logs in %s)" % (error, tunnel.workdir))
        return 1
    finally:
        tunnel.close()
        if not failed:
            import shutil
            shutil.rmtree(tunnel.workdir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
