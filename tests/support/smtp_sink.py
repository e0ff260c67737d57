"""A real SMTP server (aiosmtpd) that stores each message it accepts.

For message N it writes N.eml (the bytes as received) and N.json (envelope
and the message as Python's email library reads it). Prints "ready" once
listening, or "bind-failed" and exits 3 when the port cannot be had.
With --cert and --key it speaks TLS: STARTTLS (required) or, with
--implicit, TLS from the first byte; with --auth USER:PASSWORD it requires
AUTH and takes only that account.
"""
import argparse
import asyncio
import base64
import urllib.parse
import urllib.request
import email
import email.policy
import json
import os
import signal
import ssl
import sys

from aiosmtpd.smtp import SMTP, AuthResult


class Login:
    def __init__(self, login):
        self.login = login


class Sink:
    def __init__(self, folder, introspect=None, ca=None):
        self.folder = folder
        self.count = 0
        self.introspect = introspect
        self.ca = ca
        if introspect:
            self.auth_XOAUTH2 = self.xoauth2

    async def xoauth2(self, server, args):
        """XOAUTH2: the bearer token checked by the authorization server."""
        try:
            fields = base64.b64decode(args[1]).split(b"\x01")
            user = fields[0].removeprefix(b"user=").decode()
            token = fields[1].removeprefix(b"auth=Bearer ").decode()
        except (IndexError, ValueError):
            return AuthResult(success=False, handled=False)
        context = ssl.create_default_context(cafile=self.ca)
        data = urllib.parse.urlencode({"token": token}).encode()
        with urllib.request.urlopen(self.introspect, data, context=context) as r:
            answer = json.load(r)
        if answer.get("active") and answer.get("username") == user:
            return AuthResult(success=True, auth_data=Login(user.encode()))
        # RFC 7628 3.2.2: the status as a challenge, then the failure.
        await server.challenge_auth(json.dumps({"status": "401", "schemes": "bearer"}))
        return AuthResult(success=False, handled=False)

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
            "date": str(msg["date"] or ""),
            "message_id": str(msg["message-id"] or ""),
            "auth_login": (session.login_data or b"").decode() if session.authenticated else "",
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
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--implicit", action="store_true")
    parser.add_argument("--auth")
    parser.add_argument("--oauth-introspect")
    parser.add_argument("--oauth-ca")
    args = parser.parse_args()

    loop = asyncio.get_running_loop()
    sink = Sink(args.dir, args.oauth_introspect, args.oauth_ca)
    context = None
    if args.cert:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args.cert, args.key)
    options = {}
    if context and not args.implicit:
        options.update(tls_context=context, require_starttls=True)
    if args.auth:
        account = args.auth.encode().split(b":", 1)

        def authenticator(server, session, envelope, mechanism, data):
            return AuthResult(success=[data.login, data.password] == account,
                              handled=False, auth_data=data)

        # Over TLS from the first byte aiosmtpd does not know the link is
        # encrypted; the client is the one that must never send in the clear.
        options.update(authenticator=authenticator, auth_required=True,
                       auth_require_tls=not args.implicit)
    if args.oauth_introspect:
        options.update(auth_required=True, auth_require_tls=not args.implicit)
    implicit = context if args.implicit else None
    try:
        server = await loop.create_server(lambda: SMTP(sink, **options), args.host, args.port,
                                          ssl=implicit)
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
