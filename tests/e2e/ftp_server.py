#!/usr/bin/python3
"""A small FTP server for the end-to-end runs (pyftpdlib).

Serves one directory to user "demo" (password "demo", or --user/--password) with every permission,
hands out passive ports from a known range, and logs every command it
receives to --log, one line each, so a test can see which PORT/EPRT
addresses reached the server.
"""
import argparse
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=21)
    parser.add_argument("--root", required=True)
    parser.add_argument("--passive", default="30000-30099")
    parser.add_argument("--log", required=True)
    parser.add_argument("--user", default="demo")
    parser.add_argument("--password", default="demo")
    args = parser.parse_args()

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")

    log = open(args.log, "a", buffering=1)

    class LoggingHandler(FTPHandler):
        def pre_process_command(self, line, cmd, arg):
            log.write("CMD %s %s\n" % (cmd, arg if cmd != "PASS" else "****"))
            return super().pre_process_command(line, cmd, arg)

    first, last = (int(p) for p in args.passive.split("-"))
    LoggingHandler.authorizer = authorizer
    LoggingHandler.passive_ports = range(first, last + 1)
    LoggingHandler.permit_foreign_addresses = False
    logging.basicConfig(stream=sys.stderr, level=logging.WARNING)
    server = FTPServer((args.host, args.port), LoggingHandler)
    server.max_cons = 64
    print("ftp-server: listening on %s:%d" % (args.host, args.port), file=sys.stderr, flush=True)
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
