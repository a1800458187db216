#!/usr/bin/env python3
"""A scriptable HTTP/1.1 test server (and optional forward proxy) for loopback tests.

Start:  http_test_server.py [--port-file F] [--cert C --key K] [--throttle BYTES_PER_S]
                            [--proxy-auth USER:PASS] [--config SCENARIOS.json]
It binds 127.0.0.1 on an ephemeral port and prints "PORT=<n>" and "CONTROL_PORT=<m>" (the
same number unless TLS is on, which adds a plain-text control port); --port-file gets both
numbers, one a line. It runs until killed or until
POST /_control/shutdown.

Control endpoints (JSON in, JSON out):
  POST /_control/scenario   {"path": "/f.bin", ...scenario...}  sets one path, resets its counters
  POST /_control/reset      forgets every scenario and the request log
  POST /_control/clear_log  forgets the request log only
  GET  /_control/log        [{"id","connection","method","target","path","headers":[[k,v]...],
                              "status","bytes_sent"}...]  headers exactly as received
  GET  /_control/info?path=/f.bin   {"size","sha256","requests","bytes_sent","pending","held",
                            "held_total","posts"}: the current content, the requests and body
                            bytes served since the path was set, how many scripted statuses and
                            limited faults are left, how many requests wait at its gate now and
                            ever did, and how many bodies its sink recorded
  GET  /_control/wait?path=/f.bin&key=held&count=1&timeout=30
                            answers once info[key] >= count (key: requests, bytes_sent,
                            pending, held, held_total or posts), or at the time-out: those
                            numbers with "ok": true or false
  POST /_control/gate       {"path": "/f.bin", "open": true}  opens (or, with false, closes
                            again) the gate of a path; an empty body opens every gate
  GET  /_control/posts?path=/hsmessaging/rest   [{"id","method","target","headers","size",
                            "body"}...]: what the sink recorded ("body" decoded as UTF-8, bad
                            bytes replaced); &index=N answers body N as it came, byte for byte
  POST /_control/shutdown

A scenario (every key optional):
  "size": N, "seed": S       content is random.Random(S).randbytes(N)
  "body_file": "/abs/path"   content is that file (read when the scenario is set)
  "body": "text"             content is that text (UTF-8)
  "etag": "\"v1\"" | null    ETag header (null or absent: none)
  "ranges": true             false: ignore Range and answer 200 with the whole body
  "gzip": false              true: the resource is the gzip of the content, sent with
                             Content-Encoding: gzip (ranges apply to the compressed bytes)
  "set_cookie": ["a=1; Path=/", ...]   Set-Cookie headers on every answer for the path
  "headers": {"X": "y"}      extra headers on every answer
  "statuses": [entry, ...]   consumed one per request (of "script_methods", default
                             ["GET", "HEAD"]); entry: an int status, 0 or "ok" for a normal
                             answer, or {"status": 503, "retry_after": "30", "headers": {...},
                             "body": "..."}. 401 and 407 carry a Basic challenge.
  "changes": [{"after_requests": N, "etag": ..., "size"/"seed"/"body_file"/"body": ...}]
                             from the Nth request on (counting every request to the path,
                             0-based) the content and ETag switch to the change's values
  "faults": [fault, ...]     each applies to the first "times" matching requests (default 1,
                             -1 forever) of its "methods" (default ["GET"]); "range_start":
                             only requests whose range starts there; "skip": N lets the
                             first N matching requests through untouched. Kinds:
       {"kind": "stall_before_headers", "seconds": S}   before the status line (not for
                                        scripted statuses)
       {"kind": "stall_before_body", "seconds": S}
       {"kind": "stall", "after_bytes": N, "seconds": S}      inside the body
       {"kind": "drop", "after_bytes": N, "reset": false}    close (or RST) mid-body
       {"kind": "short", "bytes": K}    answer a range K bytes shorter than asked (honest
                                        Content-Range and Content-Length)
       {"kind": "truncate", "bytes": K} declare the full length, send K bytes less, close
       {"kind": "close_delimited", "after_bytes": N}  no Content-Length: the body ends where
                                        the server closes, after N bytes (default: all of
                                        them); on a HEAD ("methods": ["HEAD"]) the answer
                                        only leaves its length out
       {"kind": "corrupt", "offset": O} flip byte O (absolute) in answers that contain it
       {"kind": "gate", "after_bytes": N}  send N bytes of the body, then hold the rest until
                                        POST /_control/gate opens the path's gate (closed
                                        when the scenario is set; reset opens every gate)
  "throttle": B              bytes per second per connection for this path
  "sink": true               record the body of every POST and PUT (Content-Length or chunked)
                             for /_control/posts, then answer as usual (200 with the content,
                             empty by default; scripted statuses apply, and their
                             "script_methods" default adds POST and PUT)

Throttling is a token bucket per connection that starts empty and lives as long as the
connection, so a new request gets no allowance of its own.

Proxy mode: a request whose target is an absolute http:// URL, or a CONNECT, is proxied to
127.0.0.1 only. With --proxy-auth every proxied request needs matching Basic
Proxy-Authorization, else 407 with a Basic challenge.
"""

import argparse
import base64
import gzip
import hashlib
import http.server
import json
import os
import random
import select
import socket
import socketserver
import ssl
import struct
import sys
import threading
import time
import urllib.parse

CHUNK = 16384


class Resource:
    """The bytes and ETag a path serves at one moment."""

    def __init__(self, settings, fallback=None):
        self.content = fallback.content if fallback else b""
        self.etag = fallback.etag if fallback else None
        if "body_file" in settings:
            with open(settings["body_file"], "rb") as f:
                self.content = f.read()
        elif "body" in settings:
            self.content = settings["body"].encode("utf-8")
        elif "size" in settings:
            self.content = random.Random(settings.get("seed", 0)).randbytes(int(settings["size"]))
        if "etag" in settings:
            self.etag = settings["etag"]


class Scenario:
    def __init__(self, settings):
        self.settings = settings
        self.base = Resource(settings)
        # A change inherits what it does not name from the base resource.
        self.changes = [(n, Resource(c, self.base)) for n, c in
                        [(int(c["after_requests"]), c) for c in settings.get("changes", [])]]
        self.statuses = list(settings.get("statuses", []))
        default_methods = ["GET", "HEAD", "POST", "PUT"] if settings.get("sink") else ["GET", "HEAD"]
        self.script_methods = settings.get("script_methods", default_methods)
        self.faults = [dict(f) for f in settings.get("faults", [])]
        for fault in self.faults:
            fault.setdefault("times", 1)
        self.requests = 0
        self.bytes_sent = 0
        self.gzip_cache = {}
        self.gate_open = False
        self.held = 0
        self.held_total = 0
        self.posts = []

    def info(self, digest=True):
        """The numbers /_control/info reports; the caller holds the state lock. The digest of a
        large body takes long, so a waiter that looks at every change goes without it."""
        info = {"requests": self.requests, "bytes_sent": self.bytes_sent,
                "pending": len(self.statuses) + sum(f["times"] for f in self.faults if f["times"] > 0),
                "held": self.held, "held_total": self.held_total, "posts": len(self.posts)}
        if digest:
            content = self.payload(self.resource_for(self.requests))
            info.update({"size": len(content), "sha256": hashlib.sha256(content).hexdigest()})
        return info

    def resource_for(self, index):
        current = self.base
        for after, resource in self.changes:
            if index >= after:
                current = resource
        return current

    def payload(self, resource):
        if not self.settings.get("gzip", False):
            return resource.content
        key = id(resource)
        if key not in self.gzip_cache:
            self.gzip_cache[key] = gzip.compress(resource.content, mtime=0)
        return self.gzip_cache[key]


class State:
    def __init__(self, throttle, proxy_auth):
        self.lock = threading.Lock()
        # Signalled under lock whenever a scenario's counters or gate change.
        self.changed = threading.Condition(self.lock)
        self.scenarios = {}
        self.log = []
        self.next_connection = 0
        self.throttle = throttle
        self.proxy_auth = proxy_auth
        self.stop = threading.Event()


class TokenBucket:
    """Per-connection rate limit; starts empty so no request gets a free burst."""

    def __init__(self, rate):
        self.rate = float(rate)
        self.capacity = max(1.0, self.rate / 50.0)
        self.tokens = 0.0
        self.stamp = time.monotonic()

    def take(self, wanted):
        # Waits for the whole step (at most a bucketful): granting the few bytes that trickle in
        # meanwhile would mean thousands of tiny writes a second and a server short of CPU.
        need = max(1.0, min(float(wanted), self.capacity))
        while True:
            now = time.monotonic()
            self.tokens = min(self.capacity, self.tokens + (now - self.stamp) * self.rate)
            self.stamp = now
            if self.tokens >= need:
                granted = int(min(wanted, self.tokens))
                self.tokens -= granted
                return granted
            time.sleep(min(0.02, (need - self.tokens) / self.rate))


def parse_range(header, size):
    """(start, end) inclusive, None for no usable range, 'bad' for unsatisfiable."""
    if not header or not header.startswith("bytes=") or "," in header:
        return None
    first, _, last = header[len("bytes="):].strip().partition("-")
    try:
        if first == "":
            length = int(last)
            if length <= 0:
                return "bad"
            return (max(0, size - length), size - 1) if size else "bad"
        start = int(first)
        end = int(last) if last else size - 1
    except ValueError:
        return None
    if start >= size or end < start:
        return "bad"
    return start, min(end, size - 1)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "TestServer/1"

    def log_message(self, *args):
        pass

    def setup(self):
        super().setup()
        state = self.server.state
        with state.lock:
            self.connection_id = state.next_connection
            state.next_connection += 1
        self.bucket = None

    # ---- bookkeeping -------------------------------------------------------------------
    def record(self, path):
        entry = {
            "id": None, "connection": self.connection_id, "method": self.command,
            "target": self.path, "path": path, "headers": [[k, v] for k, v in self.headers.items()],
            "status": None, "bytes_sent": 0,
        }
        with self.server.state.lock:
            entry["id"] = len(self.server.state.log)
            self.server.state.log.append(entry)
        return entry

    def send_json(self, value, status=200):
        data = json.dumps(value).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def read_body(self):
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            body = b""
            while True:
                size = int(self.rfile.readline().split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    while self.rfile.readline().strip():
                        pass  # trailer fields
                    return body
                body += self.rfile.read(size)
                self.rfile.readline()
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length else b""

    # ---- dispatch ----------------------------------------------------------------------
    def do_GET(self):
        self.dispatch()

    def do_HEAD(self):
        self.dispatch()

    def do_POST(self):
        self.dispatch()

    def do_CONNECT(self):
        self.proxy_connect()

    def dispatch(self):
        if self.path.startswith("http://"):
            self.proxy_forward()
            return
        path = urllib.parse.urlsplit(self.path).path
        if path.startswith("/_control/"):
            self.control(path)
            return
        self.serve(path)

    def control(self, path):
        state = self.server.state
        query = urllib.parse.parse_qs(urllib.parse.urlsplit(self.path).query)
        body = self.read_body()
        if path == "/_control/scenario":
            settings = json.loads(body or b"{}")
            scenario = Scenario(settings)
            with state.lock:
                old = state.scenarios.get(settings["path"])
                if old is not None:
                    old.gate_open = True  # a replaced scenario never keeps a request held
                state.scenarios[settings["path"]] = scenario
                state.changed.notify_all()
            self.send_json({"ok": True})
        elif path == "/_control/reset":
            with state.lock:
                for old in state.scenarios.values():
                    old.gate_open = True
                state.scenarios.clear()
                state.log.clear()
                state.changed.notify_all()
            self.send_json({"ok": True})
        elif path == "/_control/gate":
            settings = json.loads(body or b"{}")
            with state.lock:
                if "path" in settings:
                    targets = [state.scenarios.get(settings["path"])]
                else:
                    targets = list(state.scenarios.values())
                if None in targets:
                    self.send_json({"error": "no such path"}, 404)
                    return
                for scenario in targets:
                    scenario.gate_open = bool(settings.get("open", True))
                state.changed.notify_all()
            self.send_json({"ok": True})
        elif path == "/_control/wait":
            key = query.get("key", ["held"])[0]
            count = int(query.get("count", ["1"])[0])
            deadline = time.monotonic() + float(query.get("timeout", ["30"])[0])
            with state.lock:
                while True:
                    scenario = state.scenarios.get(query.get("path", [""])[0])
                    if scenario is None:
                        self.send_json({"error": "no such path"}, 404)
                        return
                    info = scenario.info(digest=False)
                    if key not in info:
                        self.send_json({"error": "no such key"}, 400)
                        return
                    left = deadline - time.monotonic()
                    if info[key] >= count or left <= 0:
                        break
                    state.changed.wait(left)
            info["ok"] = info[key] >= count
            self.send_json(info)
        elif path == "/_control/posts":
            with state.lock:
                scenario = state.scenarios.get(query.get("path", [""])[0])
                posts = list(scenario.posts) if scenario is not None else None
            if posts is None:
                self.send_json({"error": "no such path"}, 404)
                return
            if "index" in query:
                index = int(query["index"][0])
                if not 0 <= index < len(posts):
                    self.send_json({"error": "no such post"}, 404)
                    return
                self.send_response(200)
                self.send_header("Content-Type", "application/octet-stream")
                self.send_header("Content-Length", str(len(posts[index]["raw"])))
                self.end_headers()
                self.wfile.write(posts[index]["raw"])
                return
            self.send_json([{k: v for k, v in post.items() if k != "raw"} for post in posts])
        elif path == "/_control/clear_log":
            with state.lock:
                state.log.clear()
            self.send_json({"ok": True})
        elif path == "/_control/log":
            with state.lock:
                snapshot = json.loads(json.dumps(state.log))
            self.send_json(snapshot)
        elif path == "/_control/info":
            with state.lock:
                scenario = state.scenarios.get(query.get("path", [""])[0])
                info = scenario.info() if scenario is not None else None
            if info is None:
                self.send_json({"error": "no such path"}, 404)
                return
            self.send_json(info)
        elif path == "/_control/shutdown":
            self.send_json({"ok": True})
            state.stop.set()
        else:
            self.send_json({"error": "unknown control"}, 404)

    # ---- the served files --------------------------------------------------------------
    def serve(self, path):
        entry = self.record(path)
        state = self.server.state
        # Read every request body, so that the connection stays usable for the next request.
        posted = self.read_body() if self.command in ("POST", "PUT") else b""
        with state.lock:
            scenario = state.scenarios.get(path)
            if scenario is not None and scenario.settings.get("sink") and self.command in ("POST", "PUT"):
                scenario.posts.append({"id": entry["id"], "method": self.command, "target": self.path,
                                       "headers": entry["headers"], "size": len(posted),
                                       "body": posted.decode("utf-8", errors="replace"), "raw": posted})
                state.changed.notify_all()
            if scenario is not None:
                index = scenario.requests
                scenario.requests += 1
                resource = scenario.resource_for(index)
                scripted = None
                if self.command in scenario.script_methods and scenario.statuses:
                    scripted = scenario.statuses.pop(0)
                faults = [f for f in scenario.faults
                          if f["times"] != 0 and self.command in f.get("methods", ["GET"])]
        if scenario is None:
            self.plain_answer(entry, 404, b"not found")
            return
        settings = scenario.settings
        extra = dict(settings.get("headers", {}))
        cookies = list(settings.get("set_cookie", []))

        if scripted not in (None, 0, "ok"):
            if isinstance(scripted, int):
                scripted = {"status": scripted}
            status = int(scripted["status"])
            headers = dict(extra)
            headers.update(scripted.get("headers", {}))
            if "retry_after" in scripted:
                headers["Retry-After"] = str(scripted["retry_after"])
            if status == 401:
                headers.setdefault("WWW-Authenticate", 'Basic realm="test"')
            if status == 407:
                headers.setdefault("Proxy-Authenticate", 'Basic realm="test"')
            body = scripted.get("body", "scripted answer").encode()
            self.plain_answer(entry, status, body, headers, cookies, scenario)
            return

        payload = scenario.payload(resource)
        size = len(payload)
        wanted = parse_range(self.headers.get("Range"), size) if settings.get("ranges", True) else None
        if wanted == "bad":
            self.plain_answer(entry, 416, b"", {"Content-Range": "bytes */%d" % size}, cookies)
            return
        start, end = (0, size - 1) if wanted is None else wanted
        matching = []
        for fault in faults:
            if "range_start" in fault and fault["range_start"] != start:
                continue
            if fault["kind"] == "corrupt" and not (start <= fault["offset"] <= end):
                continue
            matching.append(fault)
        if matching:
            with state.lock:
                applied = []
                for fault in matching:
                    if fault.get("skip", 0) > 0:
                        fault["skip"] -= 1
                        continue
                    if fault["times"] > 0:
                        fault["times"] -= 1
                    applied.append(fault)
                matching = applied
        for fault in matching:
            if fault["kind"] == "short" and wanted is not None:
                end = max(start, end - int(fault["bytes"]))

        for fault in matching:
            if fault["kind"] == "stall_before_headers":
                time.sleep(float(fault["seconds"]))

        status = 206 if wanted is not None else 200
        length = end + 1 - start if size else 0
        unsized = any(fault["kind"] == "close_delimited" for fault in matching)
        # A HEAD needs the length only; copying a large body for it would cost seconds.
        body = bytearray(payload[start:end + 1]) if size and self.command != "HEAD" else bytearray()
        for fault in matching:
            if fault["kind"] == "corrupt":
                body[fault["offset"] - start] ^= 0xFF

        self.send_response(status)
        if resource.etag is not None:
            self.send_header("ETag", resource.etag)
        if settings.get("ranges", True):
            self.send_header("Accept-Ranges", "bytes")
        if settings.get("gzip", False):
            self.send_header("Content-Encoding", "gzip")
        if status == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end, size))
        self.send_header("Content-Type", "application/octet-stream")
        if unsized:
            self.send_header("Connection", "close")
        else:
            self.send_header("Content-Length", str(length))
        for name, value in extra.items():
            self.send_header(name, value)
        for cookie in cookies:
            self.send_header("Set-Cookie", cookie)
        self.end_headers()
        entry["status"] = status
        if self.command == "HEAD":
            if unsized:
                self.close_connection = True
            return
        self.send_body(entry, scenario, bytes(body), matching, settings.get("throttle", state.throttle))

    def count_sent(self, entry, scenario, count):
        entry["bytes_sent"] += count
        if scenario is not None:
            with self.server.state.lock:
                scenario.bytes_sent += count
                self.server.state.changed.notify_all()

    def wait_at_gate(self, scenario):
        state = self.server.state
        with state.lock:
            scenario.held += 1
            scenario.held_total += 1
            state.changed.notify_all()
            while not scenario.gate_open and not state.stop.is_set():
                state.changed.wait(1.0)
            scenario.held -= 1
            state.changed.notify_all()

    def plain_answer(self, entry, status, body, headers=None, cookies=(), scenario=None):
        self.send_response(status)
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        for cookie in cookies:
            self.send_header("Set-Cookie", cookie)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        entry["status"] = status
        if self.command != "HEAD" and body:
            self.wfile.write(body)
            self.count_sent(entry, scenario, len(body))

    def send_body(self, entry, scenario, body, faults, throttle):
        cut = None  # (offset, kind, reset)
        stalls = []
        for fault in faults:
            kind = fault["kind"]
            if kind == "stall_before_body":
                stalls.append((0, float(fault["seconds"])))
            elif kind == "stall":
                stalls.append((int(fault["after_bytes"]), float(fault["seconds"])))
            elif kind == "gate":
                stalls.append((min(int(fault.get("after_bytes", 0)), len(body)), None))
            elif kind == "drop":
                offset = min(int(fault["after_bytes"]), len(body))
                cut = (offset, bool(fault.get("reset", False)))
            elif kind == "truncate":
                cut = (max(0, len(body) - int(fault["bytes"])), False)
            elif kind == "close_delimited":
                # Without a length only the close ends the body, so the server always closes.
                cut = (min(int(fault.get("after_bytes", len(body))), len(body)), False)
        stalls.sort(key=lambda stall: stall[0])
        limit = len(body) if cut is None else cut[0]
        if throttle and self.bucket is None:
            self.bucket = TokenBucket(throttle)
        sent = 0
        try:
            while True:
                while stalls and stalls[0][0] <= sent:
                    self.wfile.flush()
                    seconds = stalls.pop(0)[1]
                    if seconds is None:
                        self.wait_at_gate(scenario)
                    else:
                        time.sleep(seconds)
                if sent >= limit:
                    break
                step = min(CHUNK, limit - sent)
                if stalls:
                    step = min(step, stalls[0][0] - sent)
                if self.bucket is not None:
                    step = self.bucket.take(step)
                self.wfile.write(body[sent:sent + step])
                sent += step
                self.count_sent(entry, scenario, step)
            self.wfile.flush()
        except (ConnectionError, OSError):
            self.close_connection = True
            return
        if cut is not None:
            self.close_connection = True
            if cut[1]:
                self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    # ---- proxy -------------------------------------------------------------------------
    def proxy_allowed(self, entry):
        wanted = self.server.state.proxy_auth
        if not wanted:
            return True
        expected = "Basic " + base64.b64encode(wanted.encode()).decode()
        if self.headers.get("Proxy-Authorization", "") == expected:
            return True
        self.plain_answer(entry, 407, b"proxy authentication required",
                          {"Proxy-Authenticate": 'Basic realm="proxy"'})
        return False

    def proxy_forward(self):
        url = urllib.parse.urlsplit(self.path)
        entry = self.record(url.path)
        entry["proxied"] = True
        if not self.proxy_allowed(entry):
            return
        if url.hostname not in ("127.0.0.1", "localhost"):
            self.plain_answer(entry, 403, b"loopback only")
            return
        target = url.path + ("?" + url.query if url.query else "")
        lines = ["%s %s HTTP/1.1" % (self.command, target)]
        for name, value in self.headers.items():
            if name.lower() not in ("proxy-authorization", "proxy-connection", "connection"):
                lines.append("%s: %s" % (name, value))
        lines.append("Connection: close")
        request = ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + self.read_body()
        try:
            upstream = socket.create_connection(("127.0.0.1", url.port or 80), timeout=60)
        except OSError:
            self.plain_answer(entry, 502, b"upstream unreachable")
            return
        entry["status"] = "forwarded"
        with upstream:
            upstream.sendall(request)
            while True:
                data = upstream.recv(65536)
                if not data:
                    break
                self.wfile.write(data)
                entry["bytes_sent"] += len(data)
        self.wfile.flush()
        self.close_connection = True

    def proxy_connect(self):
        entry = self.record(self.path)
        entry["proxied"] = True
        if not self.proxy_allowed(entry):
            return
        host, _, port = self.path.rpartition(":")
        if host not in ("127.0.0.1", "localhost"):
            self.plain_answer(entry, 403, b"loopback only")
            return
        try:
            upstream = socket.create_connection(("127.0.0.1", int(port)), timeout=60)
        except (OSError, ValueError):
            self.plain_answer(entry, 502, b"upstream unreachable")
            return
        self.send_response(200, "Connection Established")
        self.end_headers()
        self.wfile.flush()
        entry["status"] = 200
        sockets = [self.connection, upstream]
        with upstream:
            while True:
                readable, _, _ = select.select(sockets, [], [], 60)
                if not readable:
                    break
                done = False
                for s in readable:
                    data = s.recv(65536)
                    if not data:
                        done = True
                        break
                    (upstream if s is self.connection else self.connection).sendall(data)
                if done:
                    break
        self.close_connection = True


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, state, tls_context):
        super().__init__(address, Handler)
        self.state = state
        self.tls_context = tls_context

    def get_request(self):
        sock, address = super().get_request()
        if self.tls_context is not None:
            sock = self.tls_context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False)
        return sock, address

    def finish_request(self, request, client_address):
        if self.tls_context is not None:
            try:
                request.do_handshake()
            except (ssl.SSLError, OSError):
                return
        super().finish_request(request, client_address)

    def handle_error(self, request, client_address):
        pass  # a client that hangs up is part of the tests


def exit_with_parent(parent):
    """A test that dies without its destructors (a sanitizer's halt, a crash) must not leave
    the server holding the test runner's output pipe open."""
    while os.getppid() == parent:
        time.sleep(0.5)
    os._exit(0)


def main():
    parser = argparse.ArgumentParser(description="scriptable loopback HTTP/1.1 test server")
    parser.add_argument("--port-file")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--throttle", type=int, default=0, help="bytes per second per connection")
    parser.add_argument("--proxy-auth", help="USER:PASS required of proxied requests")
    parser.add_argument("--config", help="JSON list of scenarios to set at start")
    args = parser.parse_args()

    tls_context = None
    if args.cert:
        tls_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls_context.minimum_version = ssl.TLSVersion.TLSv1_2
        tls_context.load_cert_chain(args.cert, args.key)

    state = State(args.throttle, args.proxy_auth)
    if args.config:
        with open(args.config) as f:
            for settings in json.load(f):
                state.scenarios[settings["path"]] = Scenario(settings)

    servers = [Server(("127.0.0.1", 0), state, tls_context)]
    if tls_context is not None:
        # Plain-text control port beside the TLS one, sharing the scenarios and the log.
        servers.append(Server(("127.0.0.1", 0), state, None))
    port = servers[0].server_address[1]
    control_port = servers[-1].server_address[1]
    if args.port_file:
        with open(args.port_file + ".tmp", "w") as f:
            f.write("%d\n%d\n" % (port, control_port))
        os.replace(args.port_file + ".tmp", args.port_file)
    print("PORT=%d" % port, flush=True)
    print("CONTROL_PORT=%d" % control_port, flush=True)

    for server in servers:
        threading.Thread(target=server.serve_forever, daemon=True).start()
    threading.Thread(target=exit_with_parent, args=(os.getppid(),), daemon=True).start()
    try:
        state.stop.wait()
    except KeyboardInterrupt:
        pass
    for server in servers:
        server.shutdown()


if __name__ == "__main__":
    sys.exit(main())
