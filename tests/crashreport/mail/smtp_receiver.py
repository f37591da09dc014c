"""A real SMTP server (aiosmtpd) on 127.0.0.1 for the reporter's tests.

Prints its port, stores each mail it accepts as FOLDER/mailN.eml (the text
as the server read it, dots taken back) and ends after COUNT mails or after
SECONDS, whichever comes first.

    smtp_receiver.py FOLDER COUNT SECONDS
"""
import asyncio
import os
import sys

from aiosmtpd.smtp import SMTP


class Store:
    def __init__(self, folder, count, done):
        self.folder, self.count, self.done, self.received = folder, count, done, 0

    async def handle_DATA(self, server, session, envelope):
        self.received += 1
        with open(os.path.join(self.folder, "mail%d.eml" % self.received), "wb") as out:
            out.write(envelope.original_content)
        if self.received >= self.count:
            self.done.set()
        return "250 OK"


async def main():
    folder, count, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    done = asyncio.Event()
    store = Store(folder, count, done)
    loop = asyncio.get_running_loop()
    server = await loop.create_server(lambda: SMTP(store, hostname="loopback"), "127.0.0.1", 0)
    print(server.sockets[0].getsockname()[1], flush=True)
    try:
        await asyncio.wait_for(done.wait(), seconds)
    except asyncio.TimeoutError:
        pass
    # Let the client read its replies and say QUIT.
    await asyncio.sleep(0.5)
    server.close()


asyncio.run(main())
