#!/usr/bin/env python3
"""A stand-in for the push service's REST API over HTTPS on 127.0.0.1, for tesmar-sim to reach.

Usage: push-service.py --port PORT --cert CERT.pem --key KEY.pem [--log FILE]

It answers what the app's push client asks (everything under /api/v1/) with the least each answer must
hold, keeps the players it made and their tags in memory, and answers anything else 404. Like
serve-site.py it goes to the background once it listens, prints its process id, and writes each request
it answers as one line to --log FILE (standard error without it), with the JSON body it carried.
It sends no pushes: those reach the device through tesmar-sim's push-receive.
"""
import http.server
import importlib
import json
import os
import re
import sys
import threading
import uuid

# The site's server lends its TLS set-up and request log; no compiled copy is left beside it.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
serve_site = importlib.import_module("serve-site")

ID = "([^/?]+)"
# (method, path under /api/v1/) -> the answer, made of the players, the path's id and the request body
# (merge_tags answers None, so "merge_tags(...) or answer" keeps the tags, then answers).
ROUTES = [
    ("GET", f"apps/{ID}/ios_params.js", lambda _players, _id, _body: {}),
    ("POST", "players", lambda players, _id, body: players.new_player(body)),
    ("GET", f"players/{ID}", lambda players, id, _body: {"id": id, "tags": players.tags_of(id)}),
    ("PUT", f"players/{ID}", lambda players, id, body: players.merge_tags(id, body) or {"success": True}),
    ("POST", f"players/{ID}/on_session",
     lambda players, id, body: players.merge_tags(id, body) or {"success": True, "id": id}),
    ("POST", f"players/{ID}/on_focus", lambda _players, _id, _body: {"success": True}),
    ("POST", f"players/{ID}/on_purchase", lambda _players, _id, _body: {"success": True}),
    ("POST", f"players/{ID}/email_logout", lambda _players, _id, _body: {"success": True}),
    ("POST", "notifications", lambda _players, _id, _body: {"id": str(uuid.uuid4()), "recipients": 1}),
    ("PUT", f"notifications/{ID}", lambda _players, _id, _body: {"success": True}),
]


class Players:
    """The players made so far and their tags; the handler's threads share one."""

    def __init__(self):
        self.lock = threading.Lock()
        self.tags = {}

    def new_player(self, body):
        id = str(uuid.uuid4())
        self.merge_tags(id, body)
        return {"success": True, "id": id}

    def tags_of(self, id):
        with self.lock:
            return dict(self.tags.get(id, {}))

    def merge_tags(self, id, body):
        tags = body.get("tags") if isinstance(body, dict) else None
        if not isinstance(tags, dict):
            return
        with self.lock:
            kept = self.tags.setdefault(id, {})
            for key, value in tags.items():
                # An empty value deletes the tag.
                if value == "":
                    kept.pop(key, None)
                else:
                    kept[key] = value


class PushServiceHandler(serve_site.Recording, http.server.BaseHTTPRequestHandler):
    players = Players()

    def route(self):
        self.read_body()
        path = self.path.split("?")[0]
        for method, pattern, answer in ROUTES:
            match = re.fullmatch("/api/v1/" + pattern, path)
            if method == self.command and match:
                try:
                    body = json.loads(self.body) if self.body else None
                except ValueError:
                    body = None
                id = match.group(1) if match.groups() else None
                return self.answer_json(json.dumps(answer(self.players, id, body)))
        self.answer_json('{"errors": ["not found"]}', 404)

    do_GET = do_POST = do_PUT = do_DELETE = route


def main():
    serve_site.serve(PushServiceHandler, serve_site.arguments(__doc__.splitlines()[0], folder=False))


if __name__ == "__main__":
    main()
