#!/usr/bin/python3
"""A TCP relay that delays every byte by a fixed time in each direction.

  delay_relay.py --listen HOST:PORT --to HOST:PORT --delay-ms MS

Stands in for a long network path (the kernel here has no netem): each chunk
read on one side is written to the other side MS milliseconds after it was
read, in order, without limiting the rate, so a round trip through the relay
gains 2 x MS. Each direction holds at most MAX_CHUNKS chunks in flight; a
full queue stops reading that side, so memory stays bounded. Prints
"relay: listening" once it accepts connections.
"""
import argparse
import asyncio
import sys
import time

MAX_CHUNKS = 4096          # chunks in flight per direction
CHUNK_BYTES = 64 * 1024    # largest read


async def pump(reader, writer, delay_s):
    queue = asyncio.Queue(MAX_CHUNKS)

    async def read_side():
        try:
            while True:
                data = await reader.read(CHUNK_BYTES)
                await queue.put((time.monotonic() + delay_s, data))
                if not data:
                    return
        except (ConnectionError, OSError):
            await queue.put((time.monotonic() + delay_s, b""))

    async def write_side():
        try:
            while True:
                due, data = await queue.get()
                wait = due - time.monotonic()
                if wait > 0:
                    await asyncio.sleep(wait)
                if not data:
                    if writer.can_write_eof():
                        writer.write_eof()
                    return
                writer.write(data)
                await writer.drain()
        except (ConnectionError, OSError):
            return

    reading = asyncio.ensure_future(read_side())
    await write_side()
    reading.cancel()


async def serve(args):
    delay_s = args.delay_ms / 1000.0
    to_host, to_port = args.to.rsplit(":", 1)

    async def handle(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection(to_host, int(to_port))
        except OSError:
            client_writer.close()
            return
        up = asyncio.ensure_future(pump(client_reader, server_writer, delay_s))
        down = asyncio.ensure_future(pump(server_reader, client_writer, delay_s))
        # Once either side is done, the connection is over for both.
        await asyncio.wait([up, down], return_when=asyncio.FIRST_COMPLETED)
        await asyncio.sleep(delay_s)
        for task in (up, down):
            task.cancel()
        for writer in (client_writer, server_writer):
            writer.close()

    host, port = args.listen.rsplit(":", 1)
    server = await asyncio.start_server(handle, host, int(port))
    print("relay: listening", flush=True)
    async with server:
        await server.serve_forever()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--listen", required=True)
    parser.add_argument("--to", required=True)
    parser.add_argument("--delay-ms", type=float, required=True)
    args = parser.parse_args()
    try:
        asyncio.run(serve(args))
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
