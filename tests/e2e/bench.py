#!/usr/bin/python3
"""Throughput benchmark of the tunnel on the end-to-end set-up.

A 20 MB RETR and a 20 MB STOR in passive mode through alice's gateway, each
timed; the CPU seconds per MB of both gateways and of the driver (from
/proc/PID/stat); the idle CPU of a gateway with an open gate over 10 s. The
last line is
  throughput RETR=<bytes/s> STOR=<bytes/s> ceiling=512000 ratio=<lower/ceiling>
"""
import argparse
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quillon_e2e as e2e  # noqa: E402

CEILING_BYTES_PER_S = 512000  # one 10240-byte data packet per 20 ms pump tick
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
IDLE_SECONDS = 10


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--size", type=int, default=20 * 1000 * 1000)
    parser.add_argument("--gateway", default="quillonftp")
    args = parser.parse_args()

    # Without "-D583": the traces of every packet would cost the gateways CPU.
    tunnel = e2e.Tunnel(args.build, gateway=args.gateway, debug=False,
                        say=lambda text: print("bench: " + text, flush=True))
    try:
        source = os.path.join(tunnel.ftp_root, "bench.bin")
        e2e.write_random_file(source, args.size, seed=3)
        upload = os.path.join(tunnel.workdir, "alice", "upload.bin")
        tunnel.start()
        tunnel.wait_gate_open()
        e2e.write_random_file(upload, args.size, seed=4)
        pids = {"alice": tunnel.gateways["alice"].pid, "bob": tunnel.gateways["bob"].pid,
                "driver": tunnel.driver.pid}
        megabytes = args.size / 1e6

        rates = {}
        for step, spec in (("RETR", "retr:bench.bin:" + os.path.join(tunnel.workdir, "alice",
                                                                     "down.bin")),
                           ("STOR", "stor:%s:up.bin" % upload)):
            before = {name: cpu_seconds(pid) for name, pid in pids.items()}
            result = tunnel.ftp([spec], timeout=900, client_timeout=60)
            if not result["ok"]:
                print("bench: %s failed: %s" % (step, result.get("error")), flush=True)
                return 1
            seconds = result["results"][0]["seconds"]
            rates[step] = args.size / seconds
            used = {name: cpu_seconds(pid) - before[name] for name, pid in pids.items()}
            print("bench: %s %d bytes in %.2f s = %.0f bytes/s; CPU s/MB alice=%.3f bob=%.3f "
                  "driver=%.3f" % (step, args.size, seconds, rates[step],
                                   used["alice"] / megabytes, used["bob"] / megabytes,
                                   used["driver"] / megabytes), flush=True)

        before = {name: cpu_seconds(pid) for name, pid in pids.items()}
        time.sleep(IDLE_SECONDS)
        idle = {name: (cpu_seconds(pid) - before[name]) / IDLE_SECONDS
                for name, pid in pids.items()}
        print("bench: idle CPU with the gate open: alice=%.1f%% bob=%.1f%% driver=%.1f%%"
              % (idle["alice"] * 100, idle["bob"] * 100, idle["driver"] * 100), flush=True)
        lower = min(rates.values())
        print("throughput RETR=%d STOR=%d ceiling=%d ratio=%.2f" % (
            rates["RETR"], rates["STOR"], CEILING_BYTES_PER_S, lower / CEILING_BYTES_PER_S),
            flush=True)
        return 0
    except e2e.SetupError as error:
        print("bench: FAILED %s (logs in %s)" % (error, tunnel.workdir), flush=True)
        return 1
    finally:
        tunnel.close()


if __name__ == "__main__":
    sys.exit(main())
