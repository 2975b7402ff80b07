#!/usr/bin/python3
"""FTP server of the host end-to-end test (pyftpdlib).

Serves --root to user "demo" (password "demo"), hands out passive ports from
--passive FIRST-LAST only, and appends every command it receives to --log as
"CMD <command> <argument>", so the test can see which PORT addresses and
which passive ports went through the tunnel.
"""
import argparse
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--root", required=True)
    parser.add_argument("--passive", required=True)
    parser.add_argument("--log", required=True)
    args = parser.parse_args()

    authorizer = DummyAuthorizer()
    authorizer.add_user("demo", "demo", args.root, perm="elradfmwMT")
    log = open(args.log, "a", buffering=1)

    class Handler(FTPHandler):
        def pre_process_command(self, line, cmd, arg):
            log.write("CMD %s %s\n" % (cmd, "****" if cmd == "PASS" else arg))
            return super().pre_process_command(line, cmd, arg)

    first, last = (int(p) for p in args.passive.split("-"))
    Handler.authorizer = authorizer
    Handler.passive_ports = range(first, last + 1)
    Handler.permit_foreign_addresses = False
    logging.basicConfig(stream=sys.stderr, level=logging.WARNING)
    server = FTPServer(("127.0.0.1", args.port), Handler)
    print("ftp-server: listening on 127.0.0.1:%d" % args.port, file=sys.stderr, flush=True)
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
