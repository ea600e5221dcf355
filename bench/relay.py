#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""A link with a round-trip time: listens on 127.0.0.1:PORT and relays every
connection to 127.0.0.1:UPSTREAM, holding each chunk back for half the
round trip in each direction, in order, as a long cable would, and a new
connection for a whole round trip, as its TCP handshake would.

usage: relay.py PORT UPSTREAM RTT_MS
"""
import asyncio
import sys


async def pipe(reader, writer, delay):
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def send():
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if not data:
                writer.write_eof() if writer.can_write_eof() else writer.close()
                return
            writer.write(data)
            await writer.drain()

    sender = asyncio.create_task(send())
    try:
        while True:
            data = await reader.read(65536)
            queue.put_nowait((loop.time() + delay, data))
            if not data:
                break
        await sender
    except (ConnectionError, OSError):
        sender.cancel()
        writer.close()


async def main(port, upstream, rtt_ms):
    delay = rtt_ms / 2000.0

    async def relay(client_r, client_w):
        # The handshake of a real link takes a round trip before the
        # first byte can go: the client's first bytes wait that long here.
        await asyncio.sleep(2 * delay)
        try:
            up_r, up_w = await asyncio.open_connection("127.0.0.1", upstream)
        except OSError:
            client_w.close()
            return
        await asyncio.gather(pipe(client_r, up_w, delay), pipe(up_r, client_w, delay),
                             return_exceptions=True)
        up_w.close()
        client_w.close()

    server = await asyncio.start_server(relay, "127.0.0.1", port)
    print("relaying 127.0.0.1:%d to :%d, %d ms round trip" % (port, upstream, rtt_ms), flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main(int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])))
