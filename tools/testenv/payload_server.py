#!/usr/bin/env python3
"""The local payload servers of the tests and the demo: HTTPS on loopback only.

One process listens on one or more ports of 127.0.0.1. On a port in "sni" mode the
certificate follows the name the client asked for: a DNS name gets the name certificate
(subject-alt-name DNS:localhost), an IP literal or no name at all gets the address
certificate (CN=127.0.0.1), because Wine 8 sends the literal address as the SNI name when
it connects to an IP endpoint. A port in "wrong-name" mode always presents the name
certificate and one in "untrusted" mode a certificate of an authority nobody trusts, so
tests can prove that certificate validation is on.

What a GET returns is chosen by the query of the request, or, for a request without a
query, by the first rule file in STATE/rules/*.rule whose line reads "<path>" or
"<path>?<query>" for the requested path (so tests of the fixed payload URLs can steer the
server without changing the URL). Query keys:

  body=payload|generated|echo|file   payload: the --payload file (default at the two payload
                                     paths); generated: byte i is i % 251 (default elsewhere);
                                     echo: the request line and headers, padded with spaces;
                                     file: the file named by path=<unix path>
  size=N          size of a generated or echo body (default: the payload size, --size)
  status=N        status code (default 200)
  redirect=URL    answer 302 with this Location and an empty body
  length=TEXT     Content-Length sent verbatim instead of the real one; length=none omits it
                  and ends the body by closing the connection
  chunked=1       chunked transfer encoding, no Content-Length
  extra=N         N bytes beyond the declared length follow the body
  cut=N           after N body bytes the connection is closed cleanly (TLS close_notify)
  drop=N          after N body bytes the connection is reset (no close_notify, TCP RST)
  garble=N        after N body bytes a forged TLS record follows, which the client cannot
                  decrypt, and the connection closes
  rate=N          the body is paced to N bytes per second

Every request is appended to STATE/requests.log as one tab-separated line:
time, port, SNI name, Host, path with query, status, User-Agent.
SIGTERM or SIGINT stops the process cleanly.
"""
import argparse
import ipaddress
import os
import signal
import socket
import socketserver
import ssl
import struct
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, HTTPServer

# The payload build this server stands in for; main() sets both from the build
# tree's own constants (--build-id, --size), so they cannot drift from the installer's.
PAYLOAD_SIZE = 0
PAYLOAD_PATHS = ()


def payload_paths(build_id):
    """The primary and fallback paths of the archive of one payload build."""
    name = f"orvo-game-payload-{build_id}.7z"
    return (f"/orvo-game/acceptance/{build_id}/{name}", f"/downloads/orvo-game/acceptance/{build_id}/{name}")
PIECE = 256 * 1024


class ConnectionDropped(Exception):
    pass


def is_ip_literal(name):
    try:
        ipaddress.ip_address(name)
        return True
    except ValueError:
        return False


_pattern_lock = threading.Lock()
_pattern = b""


def generated(start, count):
    """Bytes start..start+count of the generated body (byte i is i % 251)."""
    global _pattern
    with _pattern_lock:
        if len(_pattern) < PIECE + 251:
            _pattern = bytes(range(251)) * ((PIECE + 251) // 251 + 1)
    offset = start % 251
    return memoryview(_pattern)[offset:offset + count]


class State:
    def __init__(self, directory, payload):
        self.directory = directory
        self.payload = payload
        self.log_lock = threading.Lock()
        os.makedirs(os.path.join(directory, "rules"), exist_ok=True)

    def rule_query(self, path):
        rules = os.path.join(self.directory, "rules")
        try:
            names = sorted(n for n in os.listdir(rules) if n.endswith(".rule"))
        except OSError:
            return ""
        for name in names:
            try:
                with open(os.path.join(rules, name), encoding="utf-8") as f:
                    lines = f.read().splitlines()
            except OSError:
                continue  # removed while we listed it
            for line in lines:
                rule_path, _, query = line.strip().partition("?")
                if rule_path == path:
                    return query
        return ""

    def log(self, fields):
        line = "\t".join(str(f).replace("\t", " ").replace("\n", " ") for f in fields) + "\n"
        with self.log_lock:
            with open(os.path.join(self.directory, "requests.log"), "a", encoding="utf-8") as f:
                f.write(line)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def version_string(self):
        return "orvo-test-payload-server"

    def log_message(self, *args):
        pass

    def do_GET(self):
        state = self.server.state
        target = urllib.parse.urlsplit(self.path)
        path = urllib.parse.unquote(target.path)
        query = target.query or state.rule_query(path)
        options = dict(urllib.parse.parse_qsl(query, keep_blank_values=True))
        status = 302 if "redirect" in options else int(options.get("status", "200"))
        state.log([f"{time.time():.3f}", self.server.server_address[1], getattr(self.connection, "sni_name", "") or "-",
                   self.headers.get("Host", "-"), self.path, status, self.headers.get("User-Agent", "-")])

        if "redirect" in options:
            self.send_response(302)
            self.send_header("Location", options["redirect"])
            self.send_header("Content-Length", "0")
            self.end_headers()
            return

        body_kind = options.get("body", "payload" if path in PAYLOAD_PATHS else "generated")
        size = int(options.get("size", str(PAYLOAD_SIZE)))
        source = None
        if body_kind == "payload" or body_kind == "file":
            name = state.payload if body_kind == "payload" else options.get("path", "")
            try:
                source = open(name, "rb")
                size = os.fstat(source.fileno()).st_size
            except (OSError, TypeError):
                self.send_plain(404, b"no payload file here\n")
                return
        elif body_kind == "echo":
            text = (self.requestline + "\r\n" + str(self.headers)).encode("latin-1", "replace")
            echo = text[:size].ljust(size, b" ")
        elif body_kind != "generated":
            self.send_plain(400, b"unknown body kind\n")
            return

        def read(start, count):
            if source is not None:
                return source.read(count)
            if body_kind == "echo":
                return memoryview(echo)[start:start + count]
            return generated(start, count)

        try:
            self.send_body(status, size, options, read)
        finally:
            if source is not None:
                source.close()

    def send_plain(self, status, text):
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(text)))
        self.end_headers()
        self.wfile.write(text)

    def send_body(self, status, size, options, read):
        chunked = options.get("chunked") == "1"
        length = options.get("length")
        extra = int(options.get("extra", "0"))
        cut = int(options["cut"]) if "cut" in options else None
        drop = int(options["drop"]) if "drop" in options else None
        garble = int(options["garble"]) if "garble" in options else None
        rate = float(options["rate"]) if "rate" in options else None

        self.send_response(status)
        self.send_header("Content-Type", "application/x-7z-compressed")
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
        elif length == "none":
            self.send_header("Connection", "close")
            self.close_connection = True
        else:
            self.send_header("Content-Length", str(size) if length is None else length)
        if status == 206:
            self.send_header("Content-Range", f"bytes 0-{size - 1}/{size}")
        if cut is not None or drop is not None or garble is not None or length is not None:
            self.close_connection = True
        self.end_headers()

        total = size + extra
        stop = total
        if cut is not None:
            stop = min(stop, cut)
        if drop is not None:
            stop = min(stop, drop)
        if garble is not None:
            stop = min(stop, garble)
        piece = 64 * 1024 if rate else PIECE
        began = time.monotonic()
        sent = 0
        while sent < stop:
            count = min(piece, stop - sent)
            data = read(sent, count) if sent < size else b"\x00" * count
            if sent < size and sent + count > size:  # the extra bytes follow the real ones
                data = bytes(read(sent, size - sent)) + b"\x00" * (sent + count - size)
            if not data:
                break
            if chunked:
                self.wfile.write(b"%x\r\n" % len(data))
            self.wfile.write(data)
            if chunked:
                self.wfile.write(b"\r\n")
            sent += len(data)
            if rate:
                delay = began + sent / rate - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
        if chunked and stop == total:
            self.wfile.write(b"0\r\n\r\n")
        if garble is not None:
            # An application-data record with a body no key produced, written
            # beside the TLS layer onto the TCP stream.
            raw = socket.socket(fileno=os.dup(self.connection.fileno()))
            try:
                raw.sendall(b"\x17\x03\x03\x00\x40" + os.urandom(64))
            finally:
                raw.close()
            raise ConnectionDropped()
        if drop is not None:
            # A reset without close_notify: the client sees a broken connection.
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            os.close(self.connection.detach())
            raise ConnectionDropped()


class TlsServer(socketserver.ThreadingMixIn, HTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def __init__(self, address, context, state):
        self.context = context
        self.state = state
        super().__init__(address, Handler)

    def finish_request(self, request, client_address):
        # The handshake runs on the connection's own thread, so a stalled client
        # never holds up the others.
        request.settimeout(60)
        try:
            connection = self.context.wrap_socket(request, server_side=True)
        except (OSError, ssl.SSLError):
            return
        try:
            Handler(connection, client_address, self)
            try:
                connection.settimeout(2)
                connection.unwrap()  # close_notify: the body ended where the server meant it to
            except (OSError, ssl.SSLError, ValueError):
                pass
        except (ConnectionDropped, OSError, ssl.SSLError):
            pass
        finally:
            try:
                connection.close()
            except OSError:
                pass

    def handle_error(self, request, client_address):
        pass


def make_context(pki, name, select_by_sni):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(pki, name + ".pem"), os.path.join(pki, name + ".key"))
    if select_by_sni:
        by_name = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        by_name.load_cert_chain(os.path.join(pki, "name.pem"), os.path.join(pki, "name.key"))

        def choose(connection, server_name, _context):
            connection.sni_name = server_name or ""
            if server_name and not is_ip_literal(server_name):
                connection.context = by_name
            return None

        context.sni_callback = choose
    return context


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pki", required=True, help="directory of payload-pki.sh")
    parser.add_argument("--state", required=True, help="directory for rules/ and requests.log")
    parser.add_argument("--payload", default="", help="file served at the two payload paths")
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--listen", action="append", default=[],
                        help="PORT:MODE with MODE sni, wrong-name or untrusted (repeatable)")
    parser.add_argument("--ready-file", default="", help="written once every port listens")
    parser.add_argument("--build-id", required=True, help="payload build identifier the paths carry")
    parser.add_argument("--size", required=True, type=int, help="exact size of the payload archive")
    args = parser.parse_args()
    global PAYLOAD_SIZE, PAYLOAD_PATHS
    PAYLOAD_SIZE = args.size
    PAYLOAD_PATHS = payload_paths(args.build_id)
    if not ipaddress.ip_address(args.address).is_loopback:
        parser.error("the payload server listens on loopback addresses only")

    state = State(args.state, args.payload)
    certificates = {"sni": ("address", True), "wrong-name": ("name", False), "untrusted": ("stranger", False)}
    servers = []
    for listen in args.listen or ["443:sni"]:
        port, _, mode = listen.partition(":")
        name, by_sni = certificates[mode or "sni"]
        servers.append(TlsServer((args.address, int(port)), make_context(args.pki, name, by_sni), state))

    threads = [threading.Thread(target=s.serve_forever, kwargs={"poll_interval": 0.2}) for s in servers]
    for t in threads:
        t.start()

    def stop(_signum, _frame):
        for s in servers:
            threading.Thread(target=s.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    if args.ready_file:
        with open(args.ready_file, "w", encoding="utf-8") as f:
            f.write(f"{os.getpid()}\n")
    for t in threads:
        while t.is_alive():
            t.join(0.5)
    for s in servers:
        s.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
