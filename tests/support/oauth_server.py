"""A small OAuth 2.0 authorization server for the tests, over TLS.

  GET  /authorize   approves at once and redirects to redirect_uri with a
                    code and the state (RFC 6749 4.1, PKCE S256 RFC 7636)
  POST /token       authorization_code (the PKCE verifier checked) and
                    refresh_token grants
  POST /introspect  RFC 7662, for Dovecot's oauth2 passdb and the SMTP sink

The test steers it through DIR/control.json, read on every request:
  {"expire": true}          every access token handed out so far is dead
  {"revoke": true}          every refresh token is refused (invalid_grant)
  {"bad_state": true}       the redirect carries another state
  {"tamper_challenge": true} the stored challenge is not the client's
and reads DIR/log.json: the grants asked for and whether PKCE passed.
"GOA-TOKEN" is always a live token of the user (the desktop's accounts).
Prints "ready PORT" once listening.
"""
import argparse
import base64
import hashlib
import http.server
import json
import os
import secrets
import ssl
import threading
import urllib.parse

USER = "taro"
codes, access, refresh, log = {}, {"GOA-TOKEN": USER}, {}, []
lock = threading.Lock()


def note(folder, entry):
    log.append(entry)
    with open(os.path.join(folder, "log.json"), "w") as out:
        json.dump(log, out)


def control(folder):
    try:
        with open(os.path.join(folder, "control.json")) as f:
            return json.load(f)
    except (OSError, ValueError):
        return {}


class Handler(http.server.BaseHTTPRequestHandler):
    def reply(self, status, body=None, location=None):
        data = json.dumps(body).encode() if body is not None else b""
        self.send_response(status)
        if location:
            self.send_header("Location", location)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def form(self):
        length = int(self.headers.get("Content-Length", "0"))
        return dict(urllib.parse.parse_qsl(self.rfile.read(length).decode()))

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        q = dict(urllib.parse.parse_qsl(url.query))
        if url.path != "/authorize" or q.get("code_challenge_method") != "S256":
            return self.reply(400, {"error": "invalid_request"})
        ctl = control(self.server.folder)
        code = secrets.token_urlsafe(16)
        challenge = q["code_challenge"]
        if ctl.get("tamper_challenge"):
            challenge = "x" + challenge[1:]
        with lock:
            codes[code] = (challenge, q["redirect_uri"], q["client_id"])
        state = "forged" if ctl.get("bad_state") else q["state"]
        target = q["redirect_uri"] + "?" + urllib.parse.urlencode({"code": code, "state": state})
        self.reply(302, location=target)

    def do_POST(self):
        f = self.form()
        ctl = control(self.server.folder)
        if self.path == "/introspect":
            with lock:
                user = access.get(f.get("token", ""))
            if user and not (ctl.get("expire") and f["token"] != "GOA-TOKEN"):
                return self.reply(200, {"active": True, "username": user})
            return self.reply(200, {"active": False})
        if self.path != "/token":
            return self.reply(404, {"error": "not_found"})
        grant = f.get("grant_type")
        entry = {"grant": grant}
        with lock:
            if grant == "authorization_code":
                challenge, uri, client = codes.pop(f.get("code", ""), (None, None, None))
                verifier = f.get("code_verifier", "")
                computed = base64.urlsafe_b64encode(
                    hashlib.sha256(verifier.encode()).digest()).rstrip(b"=").decode()
                entry["pkce"] = challenge is not None and computed == challenge
                if not entry["pkce"] or uri != f.get("redirect_uri") or client != f.get("client_id"):
                    note(self.server.folder, entry)
                    return self.reply(400, {"error": "invalid_grant"})
            elif grant == "refresh_token":
                if ctl.get("revoke") or f.get("refresh_token") not in refresh:
                    entry["refused"] = True
                    note(self.server.folder, entry)
                    return self.reply(400, {"error": "invalid_grant"})
            else:
                return self.reply(400, {"error": "unsupported_grant_type"})
            if ctl.get("expire"):  # what was handed out before is dead
                for token in list(access):
                    if token != "GOA-TOKEN":
                        del access[token]
                os.unlink(os.path.join(self.server.folder, "control.json"))
            token, renewal = secrets.token_urlsafe(24), secrets.token_urlsafe(24)
            access[token] = USER
            refresh[renewal] = USER
            note(self.server.folder, entry)
        self.reply(200, {"access_token": token, "token_type": "Bearer", "expires_in": 3600,
                         "refresh_token": renewal})

    def log_message(self, *args):
        pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    args = parser.parse_args()
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.folder = args.dir
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(args.cert, args.key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    print("ready", server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
