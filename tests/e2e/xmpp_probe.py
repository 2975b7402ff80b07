#!/usr/bin/python3
"""A plain XMPP client (slixmpp) that proves the test network carries messages.

  xmpp_probe.py --jid J --password P --server ADDR --cafile CA --ask PEER
      signs in, sends PEER a message every second until PEER answers it;
  xmpp_probe.py ... --answer PEER
      signs in, answers the first message from PEER with "re: <text>".

STARTTLS with the server's certificate verified against CA only; exits 0 and
prints one line "probe: OK ..." on success, else exits 1 within --timeout.
"""
import argparse
import asyncio
import logging
import ssl
import sys

import slixmpp

RESEND_S = 1.0


class Probe(slixmpp.ClientXMPP):
    def __init__(self, args):
        super().__init__(args.jid, args.password)
        self.args = args
        self.peer = args.ask or args.answer
        self.question = "ping from %s" % args.jid
        self.result = None
        self.ca_certs = args.cafile
        self.ssl_context.check_hostname = True
        self.ssl_context.verify_mode = ssl.CERT_REQUIRED
        self.add_event_handler("session_start", self.started)
        self.add_event_handler("message", self.message)
        self.add_event_handler("failed_auth", lambda *_: self.finish("FAILED authentication"))

    async def started(self, _event):
        self.send_presence()
        if self.args.ask:
            while self.result is None:
                self.send_message(mto=self.peer, mbody=self.question, mtype="chat")
                await asyncio.sleep(RESEND_S)

    def message(self, msg):
        sender = msg["from"].bare
        if sender != self.peer or msg["type"] not in ("chat", "normal"):
            return
        body = msg["body"]
        if self.args.answer:
            msg.reply("re: " + body).send()
            self.finish("OK answered %s: %s" % (sender, body))
        elif body == "re: " + self.question:
            self.finish("OK %s answered: %s" % (sender, body))

    def finish(self, result):
        if self.result is None:
            self.result = result
            self.disconnect(wait=2.0)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--jid", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--port", type=int, default=5222)
    parser.add_argument("--cafile", required=True)
    parser.add_argument("--timeout", type=float, default=30)
    parser.add_argument("--debug", action="store_true")
    role = parser.add_mutually_exclusive_group(required=True)
    role.add_argument("--ask")
    role.add_argument("--answer")
    args = parser.parse_args()
    logging.basicConfig(level=logging.DEBUG if args.debug else logging.ERROR)

    probe = Probe(args)
    probe.connect((args.server, args.port), force_starttls=True, disable_starttls=False)
    loop = asyncio.get_event_loop()
    try:
        loop.run_until_complete(asyncio.wait_for(probe.disconnected, args.timeout))
    except asyncio.TimeoutError:
        pass
    if probe.result is None:
        print("probe: FAILED no answer within %.0f s" % args.timeout, flush=True)
        return 1
    print("probe: " + probe.result, flush=True)
    return 0 if probe.result.startswith("OK") else 1


if __name__ == "__main__":
    sys.exit(main())
