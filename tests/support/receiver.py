#!/usr/bin/env python3
"""Test receiver for uploads: an HTTP server on 127.0.0.1 that stores what it is sent.

Every POST body is stored as <root>/<ImpID>/<FN>, taken from the decoded query. A name
holding "/", "\\" or ".." (or "%", the escape character itself) is stored with those
characters percent-escaped, so nothing is written outside <root>; an empty name is
stored as "%". Every request is logged as one JSON line in <root>/requests.log:
method, path, query, imp_id, fn, size, status, the stored path relative to root, the
request line and the headers as received (in order, as [name, value] pairs) and the
client's port, and how many uploads were being handled at that moment (itself
included). A request is logged (and its body stored) before it is answered, so a
client that has its answer finds it in the log.

--kind says how it answers:
  keep-alive  HTTP/1.1; a stored upload is answered on a connection kept open for the
              client's next request, every other answer closes it (the default)
  http1.0     HTTP/1.0: every answer closes the connection, without a Connection header
  close       HTTP/1.1 with "Connection: close" on every answer
  chunked     as keep-alive, with the answer's body in chunks
--delay-ms N waits N milliseconds before each upload is answered.

Failure modes apply to the next N upload requests:
  500, 404, 429, 503
         answer with that HTTP status and store nothing; 429 and 503 carry
         "Retry-After: S" when S is given
  302    answer HTTP 302 (a redirect elsewhere) and store nothing
  close  read the request, then close the connection without answering
  stall  wait S seconds, then answer normally
Set them on the command line (--mode, --count, --seconds) or with
POST /_control?mode=500&count=3[&seconds=S][&share=P&seed=N]; mode=ok clears them. With
share, each upload request is hit with probability P (a random choice seeded with N), and
count counts only the requests hit. GET /_health answers
200 once the server runs.

The chosen port is printed as stdout's first line and written to --port-file when
given. SIGTERM or SIGINT stops the server.
"""

import argparse
import json
import os
import random
import signal
import sys
import tempfile
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

CHUNK = 64 * 1024
MODES = ("ok", "500", "close", "stall", "302", "404", "429", "503")
KINDS = ("keep-alive", "http1.0", "close", "chunked")
STATUS_MODES = ("500", "302", "404", "429", "503")


def safe_name(name):
    """A single path component that stands for `name` and cannot leave its folder."""
    if name == "":
        return "%"
    escaped = name.replace("%", "%25").replace("/", "%2F").replace("\\", "%5C")
    return escaped.replace("..", "%2E%2E")


class Behaviour:
    """The failure mode for the next requests, shared by all handler threads."""

    def __init__(self, mode="ok", count=0, seconds=0.0):
        self.lock = threading.Lock()
        self.mode, self.count, self.seconds = "ok", 0, 0.0
        self.share, self.random = 1.0, random.Random(0)
        self.set(mode, count, seconds)

    def set(self, mode, count, seconds, share=1.0, seed=0):
        if mode not in MODES:
            raise ValueError("unknown mode " + mode)
        if not 0.0 <= share <= 1.0:
            raise ValueError("share must lie between 0 and 1")
        with self.lock:
            self.mode = mode
            self.count = count if mode != "ok" else 0
            self.seconds = seconds
            self.share, self.random = share, random.Random(seed)

    def take(self):
        """The mode for one upload request, counting it down."""
        with self.lock:
            if self.mode == "ok" or self.count <= 0:
                return "ok", 0.0
            if self.share < 1.0 and self.random.random() >= self.share:
                return "ok", 0.0
            self.count -= 1
            return self.mode, self.seconds


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # answers "Expect: 100-continue" at once
    # The answer's head and body go out in two writes; on a kept-alive connection Nagle's
    # algorithm would hold the body until the client's delayed acknowledgement.
    disable_nagle_algorithm = True
    server_version = "QvTestReceiver/1"

    def setup(self):
        super().setup()
        if self.server.kind == "http1.0":
            self.protocol_version = "HTTP/1.0"

    def log_message(self, format, *args):  # noqa: A002 - the base class names it so
        pass  # requests.log is the log

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        status = 200 if url.path == "/_health" else 404
        self.record(url, 0, status)
        self.answer(status, b"ok\n" if status == 200 else b"not found\n")

    def do_POST(self):
        url = urllib.parse.urlsplit(self.path)
        if url.path == "/_control":
            self.control(url)
            return
        with self.server.counter_lock:
            self.server.uploads += 1
        self.counted = True
        try:
            self.upload(url)
        finally:
            self.uncount()

    def uncount(self):
        """Ends this upload's count, before its answer goes: once the client has it, its
        next upload may come at once and must not meet this one still counted."""
        if getattr(self, "counted", False):
            self.counted = False
            with self.server.counter_lock:
                self.server.uploads -= 1

    def upload(self, url):
        query = urllib.parse.parse_qs(url.query, keep_blank_values=True)
        fn = query.get("FN", [None])[0]
        imp_id = query.get("ImpID", [""])[0]
        length = self.header_length()
        if length is None:
            self.drain_and_answer(url, 0, 411, imp_id=imp_id, fn=fn)
            return
        mode, seconds = self.server.behaviour.take()
        if mode == "stall":
            # Waiting on the stop event lets SIGTERM end a stalled request at once.
            if self.server.stopping.wait(seconds):
                mode = "close"
        if mode == "close":
            self.discard(length)
            self.record(url, length, 0, imp_id, fn)
            self.close_connection = True
            return
        if mode in STATUS_MODES or fn is None:
            status = 400 if fn is None else int(mode)
            retry_after = seconds if status in (429, 503) and seconds > 0 else None
            self.drain_and_answer(url, length, status, imp_id, fn, retry_after)
            return
        stored = os.path.join(safe_name(imp_id), safe_name(fn))
        try:
            self.store(os.path.join(self.server.root, stored), length)
        except (OSError, ConnectionError):
            self.close_connection = True
            self.record(url, length, 0, imp_id, fn)
            return
        self.record(url, length, 200, imp_id, fn, stored)
        self.answer(200, b"stored\n", keep_alive=True)

    def control(self, url):
        query = urllib.parse.parse_qs(url.query)
        self.discard(self.header_length() or 0)
        try:
            mode = query.get("mode", ["ok"])[0]
            count = int(query.get("count", ["1"])[0])
            seconds = float(query.get("seconds", ["0"])[0])
            share = float(query.get("share", ["1"])[0])
            seed = int(query.get("seed", ["0"])[0])
            self.server.behaviour.set(mode, count, seconds, share, seed)
        except ValueError as error:
            self.record(url, 0, 400)
            self.answer(400, (str(error) + "\n").encode())
        else:
            self.record(url, 0, 200)
            self.answer(200, b"ok\n")

    def header_length(self):
        try:
            length = int(self.headers.get("Content-Length", ""))
        except ValueError:
            return None
        return length if length >= 0 else None

    def discard(self, length):
        while length > 0:
            piece = self.rfile.read(min(CHUNK, length))
            if not piece:
                break
            length -= len(piece)

    def store(self, target, length):
        """Writes the body to `target` whole or not at all."""
        folder = os.path.dirname(target)
        os.makedirs(folder, exist_ok=True)
        handle, temporary = tempfile.mkstemp(dir=folder, prefix=".part-")
        try:
            with os.fdopen(handle, "wb") as out:
                remaining = length
                while remaining > 0:
                    piece = self.rfile.read(min(CHUNK, remaining))
                    if not piece:
                        raise ConnectionError("body ended early")
                    out.write(piece)
                    remaining -= len(piece)
            os.replace(temporary, target)
        except BaseException:
            os.unlink(temporary)
            raise

    def drain_and_answer(self, url, length, status, imp_id=None, fn=None, retry_after=None):
        self.discard(length)
        self.record(url, length, status, imp_id, fn)
        self.answer(status, b"refused\n", retry_after=retry_after)

    def answer(self, status, body, keep_alive=False, retry_after=None):
        kind = self.server.kind
        keep_alive = keep_alive and kind in ("keep-alive", "chunked")
        chunked = kind == "chunked" and self.request_version == "HTTP/1.1"
        try:
            self.send_response(status)
            if retry_after is not None:
                self.send_header("Retry-After", str(int(retry_after)))
            self.send_header("Content-Type", "text/plain")
            if chunked:
                self.send_header("Transfer-Encoding", "chunked")
            else:
                self.send_header("Content-Length", str(len(body)))
            if status == 302:
                self.send_header("Location", "/elsewhere")
            if not keep_alive and kind != "http1.0":
                self.send_header("Connection", "close")
            self.end_headers()
            if chunked:
                half = len(body) // 2
                for piece in (body[:half], body[half:], b""):
                    self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
            else:
                self.wfile.write(body)
        except (BrokenPipeError, ConnectionResetError):
            keep_alive = False  # the client gave up (a stalled request past its time limit)
        if not keep_alive:
            self.close_connection = True

    def record(self, url, size, status, imp_id=None, fn=None, stored=None):
        uploading = self.command == "POST" and url.path != "/_control"
        if uploading and self.server.delay > 0:
            time.sleep(self.server.delay)
        entry = {
            "method": self.command,
            "path": url.path,
            "query": url.query,
            "imp_id": imp_id,
            "fn": fn,
            "size": size,
            "status": status,
            "stored": stored,
            "request_line": self.requestline,
            "headers": [[name, value] for name, value in self.headers.items()],
            "client_port": self.client_address[1],
            "concurrent": self.server.uploads if uploading else 0,
        }
        if uploading:
            self.uncount()
        line = json.dumps(entry, ensure_ascii=False) + "\n"
        with self.server.log_lock:
            with open(self.server.log_path, "a", encoding="utf-8") as log:
                log.write(line)


class Receiver(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, port, root, behaviour, kind="keep-alive", delay_ms=0):
        super().__init__(("127.0.0.1", port), Handler)
        self.kind = kind
        self.delay = delay_ms / 1000.0
        self.counter_lock = threading.Lock()
        self.uploads = 0  # upload requests being handled
        self.root = os.path.abspath(root)
        self.log_path = os.path.join(self.root, "requests.log")
        self.log_lock = threading.Lock()
        self.behaviour = behaviour
        self.stopping = threading.Event()


def write_port_file(path, port):
    # Written under another name and renamed, so a reader never sees half a number.
    temporary = path + ".tmp"
    with open(temporary, "w", encoding="ascii") as out:
        out.write("%d\n" % port)
    os.replace(temporary, path)


def main(argv):
    parser = argparse.ArgumentParser(description="Upload receiver for tests")
    parser.add_argument("--root", required=True, help="folder for received files and the log")
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1; 0 picks one")
    parser.add_argument("--port-file", help="file to write the chosen port to")
    parser.add_argument("--mode", choices=MODES, default="ok")
    parser.add_argument("--count", type=int, default=1, help="requests the mode applies to")
    parser.add_argument("--seconds", type=float, default=0.0, help="stall time")
    parser.add_argument("--kind", choices=KINDS, default="keep-alive", help="how it answers")
    parser.add_argument("--delay-ms", type=int, default=0, help="wait before each answer")
    args = parser.parse_args(argv)

    os.makedirs(args.root, exist_ok=True)
    server = Receiver(args.port, args.root, Behaviour(args.mode, args.count, args.seconds),
                      args.kind, args.delay_ms)
    port = server.server_address[1]

    def stop(signum, frame):
        server.stopping.set()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    serving = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1})
    serving.start()
    print(port, flush=True)
    if args.port_file:
        write_port_file(args.port_file, port)

    while not server.stopping.wait(0.2):
        pass
    server.shutdown()
    server.server_close()
    serving.join()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
