#!/usr/bin/python3
"""The end-to-end demo: driver, two gateways, an FTP server and one transfer.

Prints what it waits for as it goes and ends with one line starting
"demo: OK" or "demo: FAILED"; exits 0 or 1. Every process it started is
stopped on the way out, also on Ctrl-C.
"""
import argparse
import os
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quillon_e2e as e2e  # noqa: E402


def say(text):
    print("demo: " + text, flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--size", type=int, default=4 * 1000 * 1000, help="file size in bytes")
    parser.add_argument("--gateway", default="quillonftp", choices=["quillonftp", "quillon-host"])
    parser.add_argument("--keep", action="store_true", help="keep the work directory")
    parser.add_argument("--network", default="local", choices=["local", "xmpp"],
                        help="local: one driver links both accounts; xmpp: three hosts, "
                             "each gateway's driver signed in to a throw-away XMPP server")
    args = parser.parse_args()

    signal.signal(signal.SIGTERM, lambda *_: (_ for _ in ()).throw(KeyboardInterrupt()))
    tunnel = None
    try:
        if args.network == "xmpp":
            import xmpp_tunnel
            tunnel = xmpp_tunnel.XmppTunnel(args.build, gateway=args.gateway,
                                            show=bool(os.environ.get("DISPLAY")), say=say)
            say("three hosts, each its own network namespace: S runs an XMPP server (prosody), "
                "A alice's FTP client, driver and Client gateway, B bob's FTP server, driver "
                "and Server gateway; A and B are linked to S only")
        else:
            tunnel = e2e.Tunnel(args.build, gateway=args.gateway,
                                show=bool(os.environ.get("DISPLAY")), say=say)
            if tunnel.isolation == "none":
                say("no network namespace can be made here: both hosts share one loopback "
                    "(Client on port %d, FTP server on port %d)" % (tunnel.client_port,
                                                                     tunnel.server_port))
            else:
                say("alice and bob each run in their own network namespace (%s), "
                    "with no path between them" % tunnel.isolation)
        say("work directory " + tunnel.workdir)
        source = os.path.join(tunnel.ftp_root, "demo.bin")
        e2e.write_random_file(source, args.size, seed=int(time.time()))
        expected = e2e.sha256_of(source)
        say("generated %d random bytes, sha256 %s" % (args.size, expected[:16]))

        if args.network == "xmpp":
            say("starting the XMPP server, alice's and bob's drivers, bob's FTP server and "
                "both gateways")
            tunnel.start()
            tunnel.net.prove_isolation()
            say("checked: A cannot reach B; alice is %s, bob is %s, both signed in to %s"
                % (tunnel.jid("alice"), tunnel.jid("bob"),
                   tunnel.net.accounts["alice"].server_address))
        else:
            say("starting the driver (accounts alice and bob), bob's FTP server and both gateways")
            tunnel.start()
        say("waiting for both gateways to attach and alice's gate to open to bob ...")
        tunnel.wait_gate_open(timeout=60)
        say("gate open: alice's port %d is relayed to bob's FTP server" % tunnel.client_port)

        target = os.path.join(tunnel.hosts["alice"].dir, "downloaded.bin")
        last = [0.0]

        def progress(step, count):
            now = time.monotonic()
            if now - last[0] >= 1.0:
                last[0] = now
                say("transfer running: %d of %d bytes" % (count, args.size))

        say("downloading demo.bin through alice's gateway (passive mode)")
        result = tunnel.ftp(["list", "retr:demo.bin:" + target], timeout=600,
                            on_progress=progress)
        if not result["ok"]:
            raise e2e.SetupError("the FTP client failed: " + result.get("error", ""))
        retr = result["results"][-1]
        got = e2e.sha256_of(target)
        if got != expected or retr["bytes"] != args.size:
            raise e2e.SetupError("the file arrived changed: %d bytes, sha256 %s"
                                 % (retr["bytes"], got))
        seconds = retr["seconds"]
        print("demo: OK %d bytes in %.1f s, %.1f KB/s, SHA-256 match (%s)"
              % (retr["bytes"], seconds, retr["bytes"] / 1000.0 / max(seconds, 1e-6),
                 got[:16]), flush=True)
        return 0
    except KeyboardInterrupt:
        print("demo: FAILED interrupted", flush=True)
        return 1
    except (e2e.SetupError, OSError) as error:
        print("demo: FAILED %s" % error, flush=True)
        if tunnel is not None:
            print("demo: logs are in " + tunnel.workdir, flush=True)
            args.keep = True
        return 1
    finally:
        if tunnel is not None:
            tunnel.close()
            if not args.keep:
                import shutil
                shutil.rmtree(tunnel.workdir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
