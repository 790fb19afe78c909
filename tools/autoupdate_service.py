#!/usr/bin/env python3
"""A local stand-in for the autoupdate service, for tests and the demo.

It serves files from a folder (with byte ranges), answers the download-URL
query ("/netinstaller/<stream>", GET or POST), records the statistics reports
posted to "/netinstaller/feedback" and serves "/api/prefs/...". Every request
is logged. Faults are configured per path through a small control API:

  POST /_control/rule     {"path": "/pkg.exe", "responses": [...], "default": {...}}
      Each request of that path takes the next entry of "responses"; once they
      are used up, "default" (or the normal answer) applies. An entry may hold:
        "status": n            answer n with a short body (503, 404, 502, ...)
        "proxy_auth": true     407 with a Proxy-Authenticate challenge
        "redirect": url        302 (or "redirect_status") to url
        "cut_at": n            send only n body bytes, then close
        "no_length": true      send no Content-Length (body ends at close)
        "ignore_range": true   answer a range request with the whole body
        "reset_at": n          send n body bytes, then reset the connection
        "trickle": [bytes, seconds]   send the body slowly
        "body": text           serve this text instead of the file
        "headers": {...}       extra response headers
  POST /_control/reply    {"stream": "developer", "installer_file": "pkg.exe",
                           "wrong_checksum": false, "malformed": false,
                           "extra": {...}} or {"stream": ..., "text": raw}
  POST /_control/prefs    {"path": "/api/prefs/x", "text": "..."}
  POST /_control/reset    forget rules, replies, prefs, log and reports
  GET  /_control/log      the requests so far, as JSON
  GET  /_control/reports  the bodies posted to the feedback address, as JSON
  POST /_control/quit     stop the service
  POST /_control/claim    {"port": 3000}: serve a twin service with its own state
                          on that fixed port of this machine, for a product switch
                          that names one; {"claimed": false} while another test
                          run holds the port (answered within about 5 s)
  POST /_control/release  {"port": 3000}: give the port back

Usage: autoupdate_service.py [--root DIR] [--port-file FILE] [--port N] [--tls]
The port is printed on the first line of stdout and written to the port file.
With --tls the same service also listens for HTTPS, with a self-signed
certificate no client trusts; that port is the second line.
"""

import argparse
import fcntl
import hashlib
import json
import os
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


class State:
    def __init__(self, root):
        self.root = os.path.abspath(root)
        self.lock = threading.Lock()
        self.reset()

    def reset(self):
        self.rules = {}
        self.counters = {}
        self.replies = {}
        self.prefs = {}
        self.log = []
        self.reports = []

    def next_response(self, path):
        """The fault entry for this request of `path`, or None."""
        with self.lock:
            rule = self.rules.get(path)
            if not rule:
                return None
            index = self.counters.get(path, 0)
            self.counters[path] = index + 1
            responses = rule.get("responses", [])
            if index < len(responses):
                return responses[index]
            return rule.get("default")


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "NorvaLocalUpdate/1.0"

    def log_message(self, format, *args):  # keep test output quiet
        pass

    @property
    def state(self):
        return self.server.state

    # Requests -------------------------------------------------------------

    def do_GET(self):
        self.handle_request(b"")

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        self.handle_request(self.rfile.read(length) if length else b"")

    def handle_request(self, body):
        path = self.path.split("?", 1)[0]
        if path.startswith("/_control/"):
            return self.handle_control(path[len("/_control/"):], body)
        with self.state.lock:
            self.state.log.append({
                "method": self.command,
                "path": self.path,
                "range": self.headers.get("Range"),
                "proxy_authorization": self.headers.get("Proxy-Authorization"),
                "user_agent": self.headers.get("User-Agent"),
                "body": body.decode("utf-8", "replace"),
            })
        fault = self.state.next_response(path) or {}
        if "status" in fault:
            return self.send_simple(fault["status"], b"error\n", fault.get("headers"))
        if fault.get("proxy_auth"):
            return self.send_simple(407, b"proxy authentication required\n",
                                    {"Proxy-Authenticate": 'Basic realm="norva-test"'})
        if "redirect" in fault:
            return self.send_simple(fault.get("redirect_status", 302), b"moved\n",
                                    {"Location": fault["redirect"]})
        content = self.content_for(path, body, fault)
        if content is None:
            return self.send_simple(404, b"not found\n")
        self.send_content(content, fault)

    def content_for(self, path, body, fault):
        if "body" in fault:
            return fault["body"].encode("utf-8")
        if path == "/netinstaller/feedback":
            with self.state.lock:
                self.state.reports.append(body.decode("utf-8", "replace"))
            return b"ok"
        if path.startswith("/netinstaller/"):
            return self.download_url_reply(path[len("/netinstaller/"):])
        if path.startswith("/api/prefs/"):
            with self.state.lock:
                return self.state.prefs.get(path, "{}").encode("utf-8")
        local = os.path.normpath(os.path.join(self.state.root, path.lstrip("/")))
        if not local.startswith(self.state.root + os.sep) or not os.path.isfile(local):
            return None
        with open(local, "rb") as f:
            return f.read()

    def download_url_reply(self, stream):
        with self.state.lock:
            config = self.state.replies.get(stream)
        if config is None:
            return None
        if "text" in config:
            return config["text"].encode("utf-8")
        reply = {}
        name = config.get("installer_file")
        if name:
            with open(os.path.join(self.state.root, name), "rb") as f:
                checksum = hashlib.sha256(f.read()).hexdigest()
            if config.get("wrong_checksum"):
                checksum = ("0" if checksum[0] != "0" else "1") + checksum[1:]
            reply["installer"] = "http://127.0.0.1:%d/%s" % (self.server.server_port, name)
            reply["installer_checksum"] = checksum
        reply.update(config.get("extra", {}))
        text = json.dumps(reply)
        if config.get("malformed"):
            text = text[: len(text) // 2]
        return text.encode("utf-8")

    # Responses ------------------------------------------------------------

    def send_simple(self, status, body, headers=None):
        self.send_response(status)
        self.send_header("X-Served-By", "norva-local")
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def send_content(self, content, fault):
        total = len(content)
        start, status = 0, 200
        range_header = None if fault.get("ignore_range") else self.headers.get("Range")
        if range_header and range_header.startswith("bytes="):
            first, _, last = range_header[len("bytes="):].partition("-")
            try:
                start = int(first)
                end = int(last) + 1 if last else total
            except ValueError:
                start, end = 0, total
            if start >= total:
                self.send_simple(416, b"range not satisfiable\n",
                                 {"Content-Range": "bytes */%d" % total})
                return
            content = content[start:min(end, total)]
            status = 206
        self.send_response(status)
        self.send_header("X-Served-By", "norva-local")
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Accept-Ranges", "bytes")
        if status == 206:
            self.send_header("Content-Range",
                             "bytes %d-%d/%d" % (start, start + len(content) - 1, total))
        for name, value in fault.get("headers", {}).items():
            self.send_header(name, value)
        if fault.get("no_length"):
            self.send_header("Connection", "close")
            self.close_connection = True
        else:
            self.send_header("Content-Length", str(len(content)))
        self.end_headers()

        if "reset_at" in fault:
            self.wfile.write(content[: fault["reset_at"]])
            self.wfile.flush()
            # Give the client time to take what was sent: a reset makes the
            # peer drop data it has not read yet.
            time.sleep(0.3)
            # SO_LINGER with a zero timeout makes close() send a reset.
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                       struct.pack("ii", 1, 0))
            self.close_connection = True
            return
        if "cut_at" in fault:
            content = content[: fault["cut_at"]]
            self.close_connection = True
        trickle = fault.get("trickle")
        try:
            if trickle:
                step, pause = int(trickle[0]), float(trickle[1])
                for offset in range(0, len(content), step):
                    self.wfile.write(content[offset:offset + step])
                    self.wfile.flush()
                    time.sleep(pause)
            else:
                self.wfile.write(content)
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True

    # Control API ----------------------------------------------------------

    def handle_control(self, command, body):
        state = self.state
        try:
            data = json.loads(body.decode("utf-8")) if body else {}
            if command in ("rule", "prefs") and "path" not in data:
                raise ValueError("a path is required")
        except ValueError as error:
            return self.send_simple(400, ("%s\n" % error).encode("utf-8"))
        if command in ("claim", "release"):
            try:
                port = int(data["port"])
            except (KeyError, TypeError, ValueError):
                return self.send_simple(400, b"a port is required\n")
            result = {"claimed": self.server.fixed_ports.claim(port, state.root)} \
                if command == "claim" else {"ok": self.server.fixed_ports.release(port)}
            return self.send_simple(200, json.dumps(result).encode("utf-8"),
                                    {"Content-Type": "application/json"})
        result = {"ok": True}
        with state.lock:
            if command == "rule":
                state.rules[data["path"]] = data
                state.counters[data["path"]] = 0
            elif command == "reply":
                state.replies[data.get("stream", "developer")] = data
            elif command == "prefs":
                state.prefs[data["path"]] = data["text"]
            elif command == "reset":
                state.reset()
            elif command == "log":
                result = state.log
            elif command == "reports":
                result = state.reports
            elif command == "quit":
                threading.Thread(target=self.server.shutdown, daemon=True).start()
            else:
                return self.send_simple(404, b"unknown control command\n")
        self.send_simple(200, json.dumps(result).encode("utf-8"),
                         {"Content-Type": "application/json"})


class FixedPorts:
    """Fixed ports of this machine taken for a test run. Every run on the
    machine takes a port through the same lock file, held while the twin
    service listens there; it goes with this process, however it ends."""

    def __init__(self):
        self.lock = threading.Lock()
        self.taken = {}  # port -> (lock file descriptor, server)

    def claim(self, port, root, wait=5.0):
        with self.lock:
            if port in self.taken:
                self.taken[port][1].state.reset()
                return True
            path = os.path.join(tempfile.gettempdir(), "norva-tests-port-%d.lock" % port)
            try:
                descriptor = os.open(path, os.O_RDONLY)
            except FileNotFoundError:
                descriptor = os.open(path, os.O_RDONLY | os.O_CREAT, 0o644)
            deadline = time.monotonic() + wait
            while True:
                try:
                    fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
                    server = ThreadingHTTPServer(("127.0.0.1", port), Handler)
                    break
                except BlockingIOError:
                    pass  # another run holds the lock
                except OSError:
                    # In use by a program outside the lock.
                    fcntl.flock(descriptor, fcntl.LOCK_UN)
                if time.monotonic() >= deadline:
                    os.close(descriptor)
                    return False
                time.sleep(0.05)
            server.daemon_threads = True
            server.state = State(root)
            server.fixed_ports = self
            threading.Thread(target=server.serve_forever, daemon=True).start()
            self.taken[port] = (descriptor, server)
            return True

    def release(self, port):
        with self.lock:
            descriptor, server = self.taken.pop(port, (None, None))
            if server is None:
                return False
            server.shutdown()
            server.server_close()
            os.close(descriptor)
            return True


def start_tls_server(state, fixed_ports):
    """An HTTPS twin of the service on another port, or None."""
    folder = tempfile.mkdtemp(prefix="autoupdate-tls-")
    cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=127.0.0.1", "-keyout", key, "-out", cert],
                   check=True, capture_output=True)
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.state = state
    server.fixed_ports = fixed_ports
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def main():
    parser = argparse.ArgumentParser(description="Local autoupdate service")
    parser.add_argument("--root", default=".", help="folder of the files to serve")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file", help="file that receives the port number")
    parser.add_argument("--tls", action="store_true", help="also serve HTTPS")
    args = parser.parse_args()

    server = ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    server.daemon_threads = True
    server.state = State(args.root)
    server.fixed_ports = FixedPorts()
    ports = "%d\n" % server.server_port
    if args.tls:
        ports += "%d\n" % start_tls_server(server.state, server.fixed_ports).server_port
    if args.port_file:
        temporary = args.port_file + ".tmp"
        with open(temporary, "w") as f:
            f.write(ports)
        os.replace(temporary, args.port_file)
    print(ports, end="", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
        if args.port_file and os.path.exists(args.port_file):
            os.remove(args.port_file)
    return 0


if __name__ == "__main__":
    sys.exit(main())
