#!/usr/bin/env python3
"""Serves a folder over HTTPS on 127.0.0.1 for tesmar-sim to reach (Python's own http.server and ssl).

Usage: serve-site.py --port PORT --cert CERT.pem --key KEY.pem FOLDER

Once it listens it goes to the background and prints its process id, so a shell can go straight on and
later end it with `kill`. It writes nothing more: tesmar-sim's http.request lines show what it was asked.
"""
import argparse
import functools
import http.server
import os
import ssl
import sys


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("folder")
    args = parser.parse_args()

    handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=os.path.abspath(args.folder))
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
    for stream in (sys.stdin, sys.stdout, sys.stderr):
        os.dup2(devnull, stream.fileno())
    server.serve_forever()


if __name__ == "__main__":
    main()
