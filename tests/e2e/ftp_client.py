#!/usr/bin/python3
"""The FTP client side of the end-to-end runs (Python's ftplib).

Runs one session against HOST:PORT as user demo and performs the steps given
on the command line, in order:
  list                       LIST of the current directory
  retr:REMOTE:LOCAL          download REMOTE into LOCAL
  stor:LOCAL:REMOTE          upload LOCAL as REMOTE
  abor:REMOTE:BYTES          start a download of REMOTE, abort it with ABOR after BYTES
  probe-pasv:ADDRESS         PASV, then try the announced port at ADDRESS first
                             (records whether it was accepted), then LIST through it
Options choose passive (default) or active mode. While a transfer runs it
prints "progress <step> <bytes>" at most every half second; at the end one
JSON line with what each step did (bytes, seconds, sha256), or exits 1 with
"error: ..." on standard error.
"""
import argparse
import ftplib
import hashlib
import json
import sys
import time

BLOCK = 65536


class Progress:
    def __init__(self, step):
        self.step = step
        self.bytes = 0
        self.last = 0.0
        self.sha = hashlib.sha256()

    def add(self, data):
        self.bytes += len(data)
        self.sha.update(data)
        now = time.monotonic()
        if now - self.last >= 0.5:
            self.last = now
            print("progress %s %d" % (self.step, self.bytes), flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=21)
    parser.add_argument("--active", action="store_true")
    parser.add_argument("--timeout", type=float, default=30.0)
    parser.add_argument("steps", nargs="+")
    args = parser.parse_args()

    results = []
    try:
        ftp = ftplib.FTP(timeout=args.timeout)
        ftp.connect(args.host, args.port)
        ftp.login("demo", "demo")
        ftp.set_pasv(not args.active)
        for step in args.steps:
            kind, _, rest = step.partition(":")
            start = time.monotonic()
            if kind == "list":
                lines = []
                ftp.retrlines("LIST", lines.append)
                results.append({"step": "list", "lines": lines})
            elif kind == "retr":
                remote, local = rest.split(":", 1)
                progress = Progress("retr")
                with open(local, "wb") as out:
                    def sink(data):
                        out.write(data)
                        progress.add(data)
                    ftp.retrbinary("RETR " + remote, sink, blocksize=BLOCK)
                results.append({"step": "retr", "bytes": progress.bytes,
                                "seconds": time.monotonic() - start,
                                "sha256": progress.sha.hexdigest()})
            elif kind == "stor":
                local, remote = rest.split(":", 1)
                progress = Progress("stor")
                with open(local, "rb") as src:
                    ftp.storbinary("STOR " + remote, src, blocksize=BLOCK,
                                   callback=progress.add)
                results.append({"step": "stor", "bytes": progress.bytes,
                                "seconds": time.monotonic() - start,
                                "sha256": progress.sha.hexdigest()})
            elif kind == "abor":
                remote, limit = rest.split(":", 1)
                progress = Progress("abor")
                conn = ftp.transfercmd("RETR " + remote)
                while progress.bytes < int(limit):
                    data = conn.recv(BLOCK)
                    if not data:
                        break
                    progress.add(data)
                reply = ftp.abort()
                conn.close()
                try:
                    ftp.voidresp()  # the 226 that may follow the 426
                except ftplib.Error:
                    pass
                results.append({"step": "abor", "bytes": progress.bytes, "reply": reply})
            elif kind == "probe-pasv":
                import socket
                ftp.sendcmd("TYPE A")
                reply = ftp.sendcmd("PASV")
                numbers = reply[reply.index("(") + 1:reply.index(")")].split(",")
                port = int(numbers[4]) * 256 + int(numbers[5])
                announced = ".".join(numbers[:4])
                probe = socket.socket()
                probe.settimeout(5)
                try:
                    probe.connect((rest, port))
                    accepted_elsewhere = True
                except OSError:
                    accepted_elsewhere = False
                finally:
                    probe.close()
                results.append({"step": "probe-pasv", "announced": announced, "port": port,
                                "accepted_at_" + rest: accepted_elsewhere})
            else:
                raise ValueError("unknown step " + step)
        ftp.quit()
    except Exception as error:  # any failure ends the session with its reason
        print("error: %s: %s" % (type(error).__name__, error), file=sys.stderr, flush=True)
        print(json.dumps({"ok": False, "results": results, "error": str(error)}), flush=True)
        return 1
    print(json.dumps({"ok": True, "results": results}), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
