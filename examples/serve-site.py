#!/usr/bin/env python3
"""Serves a folder over HTTPS on 127.0.0.1 for tesmar-sim to reach (Python's own http.server and ssl).

Usage: serve-site.py --port PORT --cert CERT.pem --key KEY.pem [--log FILE] FOLDER

Besides the folder's files it plays the two things the app expects of its site: the sign-in form of
/login.html, POSTed with a user name and a password, sets the session cookie PHPSESSID (its answer names
the user and links to the form's hidden "next" page), and POST /api/vezeduduz/register (the device
registration, a JSON body {"player-id": ...}) is answered {"success": true}.

Once it listens it goes to the background and prints its process id, so a shell can go straight on and
later end it with `kill`. Each request it answers is written as one line to --log FILE (standard error
without it): method, path, status, then the cookies and the body it carried, if any. The server's own
complaints (a client that hung up during the TLS handshake, say) go there too.
"""
import argparse
import functools
import html
import http.server
import os
import secrets
import ssl
import sys
import urllib.parse

SESSION_COOKIE = "PHPSESSID"
LOGIN_PAGE = "/login.html"
REGISTER_PATH = "/api/vezeduduz/register"


def arguments(description, folder):
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--log", help="where each request is written (default: standard error)")
    if folder:
        parser.add_argument("folder")
    return parser.parse_args()


class Recording:
    """Writes one line per answered request to standard error; a handler class mixes it in before its
    http.server base."""

    def read_body(self):
        self.body = self.rfile.read(int(self.headers.get("Content-Length") or 0)).decode("utf-8", "replace")

    def log_request(self, code="-", size="-"):
        line = f"{self.command} {self.path} {int(code)}"
        if self.headers.get("Cookie"):
            line += " cookie " + self.headers["Cookie"]
        body = getattr(self, "body", "")
        if body:
            line += " body " + " ".join(body.split())
        print(line, file=sys.stderr, flush=True)

    def log_message(self, format, *args):
        pass

    def answer(self, text, content_type, status=200, headers=()):
        data = text.encode()
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(data)

    def answer_json(self, text, status=200):
        self.answer(text, "application/json", status)


class SiteHandler(Recording, http.server.SimpleHTTPRequestHandler):
    def do_POST(self):
        self.read_body()
        path = self.path.split("?")[0]
        if path == REGISTER_PATH:
            self.answer_json('{"success": true}')
        elif path == LOGIN_PAGE:
            self.sign_in(urllib.parse.parse_qs(self.body))
        else:
            self.send_error(404)

    def sign_in(self, form):
        user, password = form.get("user", [""])[0], form.get("password", [""])[0]
        if not user or not password:
            self.send_error(400, "Sign in with a user name and a password")
            return
        page = (f'<!DOCTYPE html><html><head><meta charset="utf-8"><title>Signed in</title></head><body>'
                f'<h1>Signed in</h1><p>Welcome, {html.escape(user)}. '
                f'<a href="{html.escape(form.get("next", ["/"])[0])}">Go on</a></p></body></html>')
        cookie = f"{SESSION_COOKIE}={secrets.token_hex(16)}; Path=/; Secure; HttpOnly"
        self.answer(page, "text/html; charset=utf-8", headers=[("Set-Cookie", cookie)])


def serve(handler, args):
    """Listens on 127.0.0.1:PORT with TLS, then serves from a child in the background whose id it prints."""
    log = os.open(args.log, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644) if args.log else None
    server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    server.socket = context.wrap_socket(server.socket, server_side=True)

    # Listening already: the parent tells the child's id and leaves, the child serves.
    child = os.fork()
    if child:
        print(child, flush=True)
        return
    os.setsid()
    devnull = os.open(os.devnull, os.O_RDWR)
    for stream in (sys.stdin, sys.stdout):
        os.dup2(devnull, stream.fileno())
    if log is not None:
        os.dup2(log, sys.stderr.fileno())
    server.serve_forever()


def main():
    args = arguments(__doc__.splitlines()[0], folder=True)
    serve(functools.partial(SiteHandler, directory=os.path.abspath(args.folder)), args)


if __name__ == "__main__":
    main()
