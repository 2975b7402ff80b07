#!/usr/bin/python3
"""Someone who is not a contact tries to reach a driver over XMPP (slixmpp).

  xmpp_stranger.py --jid J --password P --server ADDR --cafile CA --target FULLJID

Signs in, asks the target's bare JID for a subscription, then offers the
target's full JID an in-band bytestream for --application (an IBB open, as a
driver opens a stream) and waits for the answer. Prints one JSON line:
  {"open": "result"|"error"|"timeout", "condition": "...",
   "subscribed": true|false}
"subscribed" says whether the target approved the subscription within
--wait seconds.
"""
import argparse
import asyncio
import json
import logging
import ssl
import sys

import slixmpp
from slixmpp.exceptions import IqError, IqTimeout
from slixmpp.xmlstream import ET

IBB_NS = "http://jabber.org/protocol/ibb"
STREAM_NS = "urn:quillon:stream"  # the driver's open names the application in this element
BLOCK_SIZE = 4096


class Stranger(slixmpp.ClientXMPP):
    def __init__(self, args):
        super().__init__(args.jid, args.password)
        self.args = args
        self.outcome = {"open": "timeout", "condition": "", "subscribed": False}
        self.ca_certs = args.cafile
        self.ssl_context.check_hostname = True
        self.ssl_context.verify_mode = ssl.CERT_REQUIRED
        self.add_event_handler("session_start", self.started)
        self.add_event_handler("presence_subscribed", self.subscribed)

    def subscribed(self, presence):
        if presence["from"].bare == self.args.target.split("/")[0]:
            self.outcome["subscribed"] = True

    async def started(self, _event):
        self.send_presence()
        self.send_presence(pto=self.args.target.split("/")[0], ptype="subscribe")
        iq = self.make_iq_set(ito=self.args.target)
        # Well formed as a driver's own open, so only who sends it can be refused.
        iq.append(ET.fromstring("<open xmlns='%s' block-size='%d' sid='stranger-1' stanza='iq'>"
                                "<application xmlns='%s'>%s</application></open>"
                                % (IBB_NS, BLOCK_SIZE, STREAM_NS, self.args.application)))
        try:
            await iq.send(timeout=self.args.wait)
            self.outcome["open"] = "result"
        except IqError as error:
            self.outcome["open"] = "error"
            self.outcome["condition"] = error.iq["error"]["condition"]
        except IqTimeout:
            self.outcome["open"] = "timeout"
        # Leave the subscription request time to be answered, if it ever is.
        await asyncio.sleep(self.args.wait)
        self.disconnect(wait=2.0)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--jid", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--port", type=int, default=5222)
    parser.add_argument("--cafile", required=True)
    parser.add_argument("--target", required=True)
    parser.add_argument("--wait", type=float, default=5)
    parser.add_argument("--application", default="QuillonForFtp2000")
    args = parser.parse_args()
    logging.basicConfig(level=logging.CRITICAL)
    stranger = Stranger(args)
    stranger.connect((args.server, args.port), force_starttls=True, disable_starttls=False)
    loop = asyncio.get_event_loop()
    try:
        loop.run_until_complete(asyncio.wait_for(stranger.disconnected, 4 * args.wait + 20))
    except asyncio.TimeoutError:
        pass
    print(json.dumps(stranger.outcome), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
