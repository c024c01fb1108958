#!/usr/bin/env python3
"""Loopback stand-in for the management server's data servlet.

Answers every POST with a chosen HTTP status and body and records what
arrived, one request per pair of files in the record directory:
  <n>.meta  "method <m>", "path <p>", "peer <host> <port>", "authorized <0|1>",
            then "header <name>: <value>" lines, in arrival order
  <n>.body  the request body, byte for byte
A failed TLS handshake is recorded as <n>.meta holding "tls-error <text>".

The port it listens on is written to --port-file once it accepts connections.
Serves HTTP, or HTTPS with --cert/--key, optionally requiring a client
certificate signed by --client-ca; --tls-max 1.2 keeps to TLS 1.2, where a
refused client certificate ends the handshake itself; --auth basic|digest
demands server authentication with --user/--password.
"""

import argparse
import base64
import hashlib
import http.server
import os
import secrets
import socketserver
import ssl
import struct
import sys
import threading
import time

REALM = "opal-test"


def framed_body(code, total, guid, plugin_type):
    """16 bytes of the server's own, the 60-byte header, and filler."""
    prefix = b"OPAL-SERVLET-RSP"
    header = struct.pack(">HHII", 0x0104, plugin_type, 0, code)
    header += guid[:36].ljust(36, b"\0") + struct.pack(">III", 0, 0, 0)
    body = prefix + header
    filler = bytes((i * 7 + 3) & 0xFF for i in range(max(0, total - len(body))))
    return (body + filler)[:total]


class Recorder:
    def __init__(self, directory):
        self.directory = directory
        self.lock = threading.Lock()
        self.count = 0

    def record(self, lines, body=b""):
        with self.lock:
            self.count += 1
            base = os.path.join(self.directory, "%04d" % self.count)
        with open(base + ".body.tmp", "wb") as f:
            f.write(body)
        os.rename(base + ".body.tmp", base + ".body")
        # The meta file appears last: a reader that sees it sees the body too.
        with open(base + ".meta.tmp", "w", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")
        os.rename(base + ".meta.tmp", base + ".meta")


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "OpalServlet/1.0"

    def setup(self):
        context = self.server.tls_context
        if context is not None:
            self.request.settimeout(10)
            try:
                self.request = context.wrap_socket(self.request, server_side=True)
            except (ssl.SSLError, OSError) as error:
                self.server.recorder.record(["tls-error %s" % error])
                raise
        super().setup()

    def log_message(self, fmt, *args):
        sys.stderr.write("servlet: " + (fmt % args) + "\n")

    def check_auth(self):
        options = self.server.options
        header = self.headers.get("Authorization", "")
        if options.auth == "none":
            return True
        if options.auth == "basic":
            expected = base64.b64encode(
                ("%s:%s" % (options.user, options.password)).encode()).decode()
            return header == "Basic " + expected
        if options.auth == "digest":
            return self.check_digest(header)
        return False

    def check_digest(self, header):
        if not header.startswith("Digest "):
            return False
        fields = {}
        for part in header[len("Digest "):].split(","):
            if "=" in part:
                key, value = part.strip().split("=", 1)
                fields[key] = value.strip('"')
        options = self.server.options
        if fields.get("username") != options.user or fields.get("nonce") not in self.server.nonces:
            return False
        md5 = lambda text: hashlib.md5(text.encode()).hexdigest()
        ha1 = md5("%s:%s:%s" % (options.user, REALM, options.password))
        ha2 = md5("%s:%s" % (self.command, fields.get("uri", "")))
        expected = md5(":".join([ha1, fields.get("nonce", ""), fields.get("nc", ""),
                                 fields.get("cnonce", ""), fields.get("qop", ""), ha2]))
        return fields.get("response") == expected and fields.get("uri") == self.path

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0") or 0)
        body = self.rfile.read(length) if length > 0 else b""
        authorized = self.check_auth()
        lines = ["method %s" % self.command, "path %s" % self.path,
                 "peer %s %d" % self.client_address[:2],
                 "authorized %d" % (1 if authorized else 0)]
        lines += ["header %s: %s" % (name, value) for name, value in self.headers.items()]
        self.server.recorder.record(lines, body)

        options = self.server.options
        if not authorized:
            self.send_response(401)
            if options.auth == "digest":
                nonce = secrets.token_hex(16)
                self.server.nonces.add(nonce)
                self.send_header("WWW-Authenticate",
                                 'Digest realm="%s", nonce="%s", qop="auth", algorithm=MD5'
                                 % (REALM, nonce))
            else:
                self.send_header("WWW-Authenticate", 'Basic realm="%s"' % REALM)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return

        if options.delay > 0:
            time.sleep(options.delay)
        guid = body[12:48] if len(body) >= 48 else b""
        plugin_type = struct.unpack(">H", body[2:4])[0] if len(body) >= 4 else 0
        if options.body == "framed":
            payload = framed_body(options.code, options.length, guid, plugin_type)
        elif options.body == "empty":
            payload = b""
        else:
            # The pattern repeats every 256 bytes; built by repetition, so that
            # answers of many megabytes cost the server nothing.
            pattern = bytes((i * 13 + 1) & 0xFF for i in range(256))
            payload = (pattern * (options.length // 256 + 1))[:options.length]
        try:
            self.send_response(options.status)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(len(payload)))
            self.end_headers()
            self.wfile.write(payload)
        except OSError:
            pass

    def version_string(self):
        # The Server header, which a test may fill with anything a hostile
        # server could send.
        return self.server.options.server_header or super().version_string()

    def do_GET(self):
        self.send_response(405)
        self.send_header("Content-Length", "0")
        self.end_headers()


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        sys.stderr.write("servlet: connection from %s ended: %s\n"
                         % (client_address, sys.exc_info()[1]))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bind", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--record-dir", required=True)
    parser.add_argument("--status", type=int, default=200)
    parser.add_argument("--body", choices=["framed", "empty", "bytes"], default="framed")
    parser.add_argument("--code", type=int, default=0, help="result code in a framed body")
    parser.add_argument("--length", type=int, default=94, help="body length (framed, bytes)")
    parser.add_argument("--delay", type=float, default=0)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--client-ca")
    parser.add_argument("--tls-max", choices=["1.2", "1.3"], default="1.3")
    parser.add_argument("--auth", choices=["none", "basic", "digest"], default="none")
    parser.add_argument("--user", default="")
    parser.add_argument("--password", default="")
    parser.add_argument("--server-header", default="")
    options = parser.parse_args()

    server = Server((options.bind, options.port), Handler)
    server.options = options
    server.recorder = Recorder(options.record_dir)
    server.nonces = set()
    server.tls_context = None
    if options.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(options.cert, options.key)
        if options.tls_max == "1.2":
            context.maximum_version = ssl.TLSVersion.TLSv1_2
        if options.client_ca:
            context.verify_mode = ssl.CERT_REQUIRED
            context.load_verify_locations(options.client_ca)
        server.tls_context = context

    port_file = options.port_file
    with open(port_file + ".tmp", "w") as f:
        f.write("%d\n" % server.server_address[1])
    os.rename(port_file + ".tmp", port_file)
    try:
        server.serve_forever(poll_interval=0.1)
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
