#!/usr/bin/python3
"""Throughput benchmark of the tunnel on the end-to-end set-up.

Runs RETR and STOR transfers in passive mode through alice's gateway, by
default three of each (RETR 1, STOR 1, RETR 2, ...) in one session of the
gateways, and prints for each run:
  - the throughput and its ratio to the design ceiling (one 10240-byte data
    packet per 20 ms pump tick: 512,000 bytes/s per direction);
  - the CPU seconds per MB of each gateway and of the driver (user + system
    time from /proc/PID/stat, over the transfer), and their context switches
    per MB (the wake-ups of their threads, from /proc/PID/task/*/status);
  - the counters the gateways keep per transfer (environment variable
    QUILLON_COUNTERS): the sending pump's ticks (sent a data packet, found
    the queue empty, held back waiting for the driver's SENDING, skipped for
    the peer's control queue; ticks missing against the elapsed time) and
    the data relays' step period on both sides;
  - a plot of the throughput over time (PNG, one per run, in --out).
Then the median and the spread (min..max) of each direction, the idle CPU of
the gateways with an open gate, and as the last line
  throughput RETR=<median bytes/s> STOR=<median bytes/s> ceiling=512000 ratio=<lower/ceiling>

Quick check: --runs 1 --size 2000000 --idle-seconds 2.

Network modes (--network): how the two gateways reach each other. "local"
is one driver hosting both accounts. A mode is one entry of NETWORKS: a
function that builds the set-up and names the processes to measure.
"""
import argparse
import os
import statistics
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quillon_e2e as e2e  # noqa: E402

CEILING_BYTES_PER_S = 512000  # one 10240-byte data packet per 20 ms pump tick
PUMP_PERIOD_MS = 20
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
COUNTER_FILE = "counters.log"
COUNTER_WAIT_S = 3.0  # the last counter lines follow the end of a transfer closely
SAMPLE_PERIOD_S = 0.5  # how often the size of the arriving file is looked at (25 pump ticks)


def say(text):
    print("bench: " + text, flush=True)


def cpu_seconds(pid):
    """User + system CPU seconds of a process, its ended threads included."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def context_switches(pid):
    """Context switches of all threads of a process so far (voluntary: the
    thread slept and was woken; the rest: it was preempted). Each wake-up of a
    thread costs a switch, so their number per MB shows a wake-up regression.
    Threads that have ended are not counted."""
    total = 0
    try:
        tasks = os.listdir("/proc/%d/task" % pid)
    except OSError:
        return 0
    for tid in tasks:
        try:
            with open("/proc/%d/task/%s/status" % (pid, tid)) as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        total += int(line.split()[1])
        except OSError:
            continue
    return total


# -- network modes ------------------------------------------------------------

class LocalNetwork:
    """Both accounts on one driver; each gateway in its own network namespace."""

    def __init__(self, args):
        self.tunnel = e2e.Tunnel(args.build, gateway=args.gateway, debug=False, say=say,
                                 gateway_env=counter_env)

    def measured(self):
        """Name -> pid of every process whose CPU time the bench reports."""
        t = self.tunnel
        return {"alice": t.gateways["alice"].pid, "bob": t.gateways["bob"].pid,
                "driver": t.driver.pid}


NETWORKS = {"local": LocalNetwork}


def counter_env(host):
    """The environment that makes a gateway write its counters into its host directory."""
    return {"QUILLON_COUNTERS": os.path.join(host.dir, COUNTER_FILE)}


# -- counters -----------------------------------------------------------------

class CounterFile:
    """The counter lines a gateway appends; read from where the last read ended."""

    def __init__(self, path):
        self.path = path
        self.offset = 0

    def skip_to_end(self):
        self.offset = os.path.getsize(self.path) if os.path.exists(self.path) else 0

    def new_records(self):
        if not os.path.exists(self.path):
            return []
        with open(self.path) as f:
            f.seek(self.offset)
            text = f.read()
        # Only whole lines; a line being written is read next time.
        end = text.rfind("\n") + 1
        self.offset += len(text[:end].encode())
        records = []
        for line in text[:end].splitlines():
            kind, _, rest = line.partition(" ")
            fields = dict(item.split("=", 1) for item in rest.split() if "=" in item)
            fields["kind"] = kind
            records.append(fields)
        return records


def pick(records, kind, key, **match):
    """The record of `kind` (and matching fields) with the largest numeric `key`."""
    chosen = [r for r in records if r["kind"] == kind
              and all(r.get(k) == v for k, v in match.items())]
    if not chosen:
        return None
    return max(chosen, key=lambda r: float(r.get(key, 0)))


def collect_counters(files, sender, receiver):
    """Pump of the sending side, data relays of both sides, for the transfer just done."""
    deadline = time.monotonic() + COUNTER_WAIT_S
    records = {name: [] for name in files}
    while True:
        for name, f in files.items():
            records[name] += f.new_records()
        found = (pick(records[sender], "pump", "sent"),
                 pick(records[sender], "relay", "bytes_read", link="data"),
                 pick(records[receiver], "relay", "bytes_written", link="data"))
        if all(found) or time.monotonic() > deadline:
            return found
        time.sleep(0.1)


def describe_counters(sender, receiver, pump, reader, writer):
    lines = []
    if pump is not None:
        ticks = int(pump["ticks"])
        expected = int(pump["elapsed_ms"]) // PUMP_PERIOD_MS + 1
        lines.append("  pump (%s): ticks=%d sent=%s empty=%s held=%s skipped=%s "
                     "missing=%d (ticks expected in %s ms: %d)"
                     % (sender, ticks, pump["sent"], pump["empty"], pump["held"],
                        pump["skipped"], max(expected - ticks, 0), pump["elapsed_ms"], expected))
    else:
        lines.append("  pump (%s): no counters (QUILLON_COUNTERS not honoured?)" % sender)
    for who, role, record in ((sender, "reads TCP", reader), (receiver, "writes TCP", writer)):
        if record is None:
            lines.append("  relay (%s, %s): no counters" % (who, role))
            continue
        reads = int(record["reads"])
        mean_read = int(record["bytes_read"]) / reads if reads else 0
        lines.append("  relay (%s, %s): period %s ms (max %s) steps=%s reads=%s (mean %.0f bytes) "
                     "idle_reads=%s queue_full=%s writes=%s"
                     % (who, role, record["period_ms"], record["period_max_ms"],
                        record["steps"], reads, mean_read, record["idle_reads"],
                        record["queue_full"], record["writes"]))
    return lines


# -- plots --------------------------------------------------------------------

class ArrivalSampler:
    """Samples the size of the file being written at the receiving end.

    The receiving end is what the tunnel has delivered: the client's progress
    of an upload only counts what went into its socket buffer."""

    def __init__(self, path):
        self.path = path
        self.samples = []
        self.started = time.monotonic()
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def size(self):
        try:
            return os.path.getsize(self.path)
        except OSError:
            return 0

    def run(self):
        while True:
            self.samples.append((time.monotonic() - self.started, self.size()))
            if self.done.wait(SAMPLE_PERIOD_S):
                break

    def stop(self):
        self.done.set()
        self.thread.join()
        self.samples.append((time.monotonic() - self.started, self.size()))
        return self.samples


def rate_series(samples):
    """(seconds since start, bytes/s) between successive progress samples."""
    points = []
    for (t0, b0), (t1, b1) in zip(samples, samples[1:]):
        if t1 > t0:
            points.append(((t0 + t1) / 2, (b1 - b0) / (t1 - t0)))
    return points


def plot_run(path, title, samples, median_rate):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    points = rate_series(samples)
    fig, ax = plt.subplots(figsize=(8, 3.6), dpi=100)
    if points:
        ax.plot([p[0] for p in points], [p[1] / 1000 for p in points], lw=1.2,
                label="throughput arriving")
    ax.axhline(CEILING_BYTES_PER_S / 1000, color="red", ls="--", lw=1,
               label="ceiling 512 kB/s")
    ax.axhline(median_rate / 1000, color="gray", ls=":", lw=1,
               label="this run's mean %.0f kB/s" % (median_rate / 1000))
    ax.set_xlabel("seconds since the FTP client started (receiving file's size every %.1f s)"
                  % SAMPLE_PERIOD_S)
    ax.set_ylabel("kB/s (1 kB = 1000 bytes)")
    ax.set_ylim(0, CEILING_BYTES_PER_S / 1000 * 1.3)
    ax.set_title(title)
    ax.grid(alpha=0.3)
    ax.legend(loc="lower right", fontsize=8)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)
    return True


# -- the runs -----------------------------------------------------------------

def spread(values):
    return statistics.median(values), min(values), max(values)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--size", type=int, default=20 * 1000 * 1000, help="bytes per transfer")
    parser.add_argument("--runs", type=int, default=3, help="transfers in each direction")
    parser.add_argument("--idle-seconds", type=float, default=10,
                        help="how long to measure idle CPU; 0 skips it")
    parser.add_argument("--out", help="directory for the plots (default: a new one in /tmp)")
    parser.add_argument("--no-plot", action="store_true")
    parser.add_argument("--gateway", default="quillonftp")
    parser.add_argument("--network", default="local", choices=sorted(NETWORKS))
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    out = args.out or tempfile.mkdtemp(prefix="quillon-bench-")
    os.makedirs(out, exist_ok=True)

    network = NETWORKS[args.network](args)
    tunnel = network.tunnel
    try:
        source = os.path.join(tunnel.ftp_root, "bench.bin")
        e2e.write_random_file(source, args.size, seed=3)
        upload = os.path.join(tunnel.workdir, "alice", "upload.bin")
        tunnel.start()
        tunnel.wait_gate_open()
        e2e.write_random_file(upload, args.size, seed=4)
        pids = network.measured()
        files = {name: CounterFile(os.path.join(tunnel.hosts[name].dir, COUNTER_FILE))
                 for name in ("alice", "bob")}
        megabytes = args.size / 1e6
        say("%d run(s) each way of %d bytes; %s network; plots in %s"
            % (args.runs, args.size, args.network, out))

        results = {"RETR": [], "STOR": []}
        download = os.path.join(tunnel.workdir, "alice", "down.bin")
        steps = {  # step, sending side, receiving side, SHA-256, file written on arrival
            "RETR": ("retr:bench.bin:" + download, "bob", "alice", e2e.sha256_of(source),
                     download),
            "STOR": ("stor:%s:up.bin" % upload, "alice", "bob", e2e.sha256_of(upload),
                     os.path.join(tunnel.ftp_root, "up.bin")),
        }
        for run in range(1, args.runs + 1):
            for direction in ("RETR", "STOR"):
                spec, sender, receiver, digest, arriving = steps[direction]
                for f in files.values():
                    f.skip_to_end()
                if os.path.exists(arriving):
                    os.unlink(arriving)
                before = {name: cpu_seconds(pid) for name, pid in pids.items()}
                switches_before = {name: context_switches(pid) for name, pid in pids.items()}
                sampler = ArrivalSampler(arriving)
                result = tunnel.ftp([spec], timeout=900, client_timeout=60)
                samples = sampler.stop()
                used = {name: cpu_seconds(pid) - before[name] for name, pid in pids.items()}
                switches = {name: context_switches(pid) - switches_before[name]
                            for name, pid in pids.items()}
                if not result["ok"]:
                    say("%s run %d failed: %s" % (direction, run, result.get("error")))
                    return 1
                step = result["results"][0]
                if step.get("sha256") != digest:
                    say("%s run %d: the bytes that arrived differ from the file" % (direction, run))
                    return 1
                seconds = step["seconds"]
                rate = args.size / seconds
                per_mb = {name: value / megabytes for name, value in used.items()}
                switches_per_mb = {name: value / megabytes for name, value in switches.items()}
                results[direction].append({"rate": rate, "cpu": per_mb,
                                           "switches": switches_per_mb})
                say("%s run %d/%d: %d bytes in %.2f s = %.0f bytes/s (%.3f of the ceiling); "
                    "CPU s/MB %s" % (direction, run, args.runs, args.size, seconds, rate,
                                     rate / CEILING_BYTES_PER_S,
                                     " ".join("%s=%.4f" % item for item in per_mb.items())))
                say("  context switches per MB (wake-ups of its threads) %s"
                    % " ".join("%s=%.0f" % item for item in switches_per_mb.items()))
                for line in describe_counters(sender, receiver,
                                              *collect_counters(files, sender, receiver)):
                    say(line)
                if not args.no_plot:
                    path = os.path.join(out, "%s-%d.png" % (direction.lower(), run))
                    title = "%s run %d: %d bytes, %.0f bytes/s (%.3f of the ceiling)" % (
                        direction, run, args.size, rate, rate / CEILING_BYTES_PER_S)
                    if plot_run(path, title, samples, rate):
                        say("  plot: " + path)
                    else:
                        say("  no plot: python3-matplotlib is not installed")

        say("summary of %d run(s) each way: median (min..max)" % args.runs)
        medians = {}
        for direction, runs in results.items():
            rate, low, high = spread([r["rate"] for r in runs])
            medians[direction] = rate
            say("%s %.0f bytes/s = %.3f of the ceiling (%.0f..%.0f)"
                % (direction, rate, rate / CEILING_BYTES_PER_S, low, high))
            parts = []
            for name in pids:
                mid, lo, hi = spread([r["cpu"][name] for r in runs])
                parts.append("%s=%.4f (%.4f..%.4f)" % (name, mid, lo, hi))
            say("%s CPU s/MB %s" % (direction, " ".join(parts)))
            parts = []
            for name in pids:
                mid, lo, hi = spread([r["switches"][name] for r in runs])
                parts.append("%s=%.0f (%.0f..%.0f)" % (name, mid, lo, hi))
            say("%s context switches per MB %s" % (direction, " ".join(parts)))

        if args.idle_seconds > 0:
            before = {name: cpu_seconds(pid) for name, pid in pids.items()}
            time.sleep(args.idle_seconds)
            idle = {name: (cpu_seconds(pid) - before[name]) / args.idle_seconds
                    for name, pid in pids.items()}
            say("idle CPU with the gate open over %.0f s: %s" % (
                args.idle_seconds,
                " ".join("%s=%.2f%%" % (name, value * 100) for name, value in idle.items())))
        lower = min(medians.values())
        print("throughput RETR=%d STOR=%d ceiling=%d ratio=%.2f" % (
            medians["RETR"], medians["STOR"], CEILING_BYTES_PER_S, lower / CEILING_BYTES_PER_S),
            flush=True)
        return 0
    except e2e.SetupError as error:
        say("FAILED %s (logs in %s)" % (error, tunnel.workdir))
        return 1
    finally:
        tunnel.close()


if __name__ == "__main__":
    sys.exit(main())
