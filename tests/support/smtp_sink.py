"""A real SMTP server (aiosmtpd) that stores each message it accepts.

For message N it writes N.eml (the bytes as received) and N.json (envelope
and the message as Python's email library reads it). Prints "ready" once
listening, or "bind-failed" and exits 3 when the port cannot be had.
"""
import argparse
import asyncio
import email
import email.policy
import json
import os
import signal
import sys

from aiosmtpd.smtp import SMTP


class Sink:
    def __init__(self, folder):
        self.folder = folder
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        raw = envelope.original_content
        msg = email.message_from_bytes(raw, policy=email.policy.default)
        record = {
            "helo": session.host_name,
            "mail_from": envelope.mail_from,
            "rcpt_tos": envelope.rcpt_tos,
            "from": str(msg["from"]),
            "subject": str(msg["subject"]),
            "content_type": msg.get_content_type(),
            "charset": msg.get_content_charset(),
            "body": msg.get_content(),
        }
        base = os.path.join(self.folder, str(self.count))
        with open(base + ".eml", "wb") as f:
            f.write(raw)
        # Written last and renamed, so a reader never sees half a record.
        with open(base + ".tmp", "w", encoding="utf-8") as f:
            json.dump(record, f, ensure_ascii=False)
        os.replace(base + ".tmp", base + ".json")
        return "250 OK"


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=25)
    parser.add_argument("--dir", required=True)
    args = parser.parse_args()

    loop = asyncio.get_running_loop()
    sink = Sink(args.dir)
    try:
        server = await loop.create_server(lambda: SMTP(sink), args.host, args.port)
    except OSError as e:
        print("bind-failed", e, flush=True)
        sys.exit(3)
    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    print("ready", flush=True)
    await stop.wait()
    server.close()


if __name__ == "__main__":
    asyncio.run(main())
