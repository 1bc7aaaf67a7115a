#!/usr/bin/env python3
"""Reference update server for tests and the demo.

Serves a directory tree of BIRD files per module serial number with the
request and answer forms the updater's server client speaks, over HTTP or
HTTPS, on 127.0.0.1 only, on a free port. Its first line on standard output is
the base URL to hand to the updater (-u), for example
http://127.0.0.1:43127/cgi/u . Every request received is appended to the
request log (--log) as its request target, one line each, before it is
answered.

Tree (ROOT):
  ROOT/SSSSSSSS/*.bird     BIRD files of the module with serial SSSSSSSS
                           (eight upper-case hex digits). Build number and
                           version come from each file's identity block.
  ROOT/SSSSSSSS/index      optional; lines of KEY=VALUE ('#' starts a comment):
                             current=BUILD   the build a query answers
                                             (default: the highest build)
                             firmware=TEXT   firmware text of a query answer
                                             (default: fw-SSSSSSSS)
                             token=JWT       the module's feature token
                             build=BUILD;VERSION;FILE
                                             a build taken from the index
                                             rather than from a file's
                                             identity block (FILE may be empty)
  ROOT/recovery            optional; lines "W0 W1 W2 W3 SERIAL BUILD" mapping a
                           chip fingerprint (hex words) to the module serial
                           (hex) and build text to answer.

Faults (--fault, applied to every request or, with --fault-op, to one "op"):
  refuse        answer 200 with the first line "refused"
  status=CODE   answer with that HTTP status and a short body
  garbage       answer 200 with bytes that are no valid answer
  delay=SECS    wait that long before answering
  slow=SECS     send the answer in pieces spread over that many seconds
  cut           announce the full length, send half the body, close
  stall         announce the full length, send half the body, then send
                nothing more while keeping the connection open
  short-base64  drop the last character of a BIRD file's base64 text

The server ends on SIGTERM/SIGINT, after --lifetime seconds, and with
--exit-on-eof when its standard input reaches end of file (its parent is gone).
"""

import argparse
import base64
import os
import random
import signal
import ssl
import struct
import sys
import threading
import time
import urllib.parse
import zlib
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

PATH = "/cgi/u"


def read_identity(path):
    """(build text, version text) from a BIRD file's first identity block."""
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 7 or data[:4] != b"bird":
        return None
    try:
        payload = zlib.decompress(data[6:])
    except zlib.error:
        return None
    pos, end = 4, len(payload) - 4
    while pos + 5 <= end:
        header = payload[pos]
        (length,) = struct.unpack(">I", payload[pos + 1:pos + 5])
        body = payload[pos + 5:pos + 5 + length]
        if len(body) < length:
            return None
        if header & 0x1F == 4 and length >= 32:
            build = body[0:15].decode("ascii", "replace").strip(" \0")
            version = body[16:31].decode("ascii", "replace").split(" ")[0].split("\0")[0]
            return build, version
        pos += 5 + length
    return None


class Device:
    """What the tree says about one module."""

    def __init__(self, directory, serial):
        self.serial = serial
        self.builds = {}  # build text -> (version, file path or None)
        self.current = None
        self.firmware = "fw-%s" % serial
        self.token = None
        for name in sorted(os.listdir(directory)):
            path = os.path.join(directory, name)
            if name.endswith(".bird") and os.path.isfile(path):
                identity = read_identity(path)
                if identity:
                    self.builds.setdefault(identity[0], (identity[1], path))
        index = os.path.join(directory, "index")
        if os.path.isfile(index):
            with open(index, encoding="utf-8") as f:
                for line in f:
                    line = line.split("#", 1)[0].strip()
                    if "=" not in line:
                        continue
                    key, value = (part.strip() for part in line.split("=", 1))
                    if key == "current":
                        self.current = value
                    elif key == "firmware":
                        self.firmware = value
                    elif key == "token":
                        self.token = value
                    elif key == "build":
                        build, version, file = (value.split(";") + ["", ""])[:3]
                        self.builds[build] = (version, os.path.join(directory, file) if file else None)
        if self.current is None and self.builds:
            self.current = max(self.builds, key=lambda b: (len(b), b))


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = False

    def __init__(self, address, args):
        self.args = args
        self.log_lock = threading.Lock()
        super().__init__(address, Handler)

    def record(self, target):
        if self.args.log:
            with self.log_lock, open(self.args.log, "a", encoding="utf-8") as f:
                f.write(target + "\n")

    def device(self, serial):
        if len(serial) != 8 or any(c not in "0123456789ABCDEF" for c in serial):
            return None
        directory = os.path.join(self.args.root, serial)
        return Device(directory, serial) if os.path.isdir(directory) else None

    def recovery(self, words):
        path = os.path.join(self.args.root, "recovery")
        if not os.path.isfile(path):
            return None
        with open(path, encoding="utf-8") as f:
            for line in f:
                fields = line.split()
                if len(fields) == 6 and [w.upper() for w in fields[:4]] == words:
                    return fields[4], fields[5]
        return None


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "ReferenceUpdateServer/1"

    def log_message(self, format, *args):  # quiet: the request log is the record
        pass

    def do_GET(self):
        self.server.record(self.path)
        url = urllib.parse.urlsplit(self.path)
        # Keys and values arrive as the client wrote them; only the
        # fingerprint carries encoded spaces.
        query = {}
        for item in url.query.split("&"):
            if item:
                key, _, value = item.partition("=")
                query[key] = value
        op = query.get("op", "")
        args = self.server.args
        fault = args.fault if (not args.fault_op or args.fault_op == op) else None

        if fault and fault.startswith("delay="):
            time.sleep(float(fault.split("=", 1)[1]))
        if fault and fault.startswith("status="):
            return self.answer(int(fault.split("=", 1)[1]), b"server error\n")
        if fault == "refuse":
            return self.answer(200, b"refused\n")
        if fault == "garbage":
            rng = random.Random(len(self.path))
            return self.answer(200, bytes(rng.randrange(256) for _ in range(300)))
        if url.path != PATH:
            return self.answer(404, b"not found\n")
        body = self.respond(op, query, fault)
        status = 200 if body is not None else 400
        self.answer(status, body if body is not None else b"bad request\n", fault)

    def respond(self, op, query, fault):
        """The answer body for one question, or None for a malformed request."""
        if op == "hi":
            return b"ok\nreference update server\n"
        if op == "fix":
            words = urllib.parse.unquote(query.get("fp", "")).upper().split(" ")
            if len(words) != 4 or query.get("brief") != "true":
                return None
            found = self.server.recovery(words)
            if not found:
                return b"unknown fingerprint\n"
            return ("ok\n%s\n%s\n" % found).encode()
        device = self.server.device(query.get("sn", ""))
        if op not in ("qu", "bird", "builds", "ent_jwt"):
            return None
        if device is None:
            return b"unknown device\n"
        if op == "qu":
            if device.current is None:
                return b"no builds\n"
            return ("ok\n%s\n%s\n" % (device.current, device.firmware)).encode()
        if op == "builds":
            lines = ["ok"]
            for build in sorted(device.builds, key=lambda b: (len(b), b)):
                lines.append("%s;%s" % (build, device.builds[build][0]))
            return ("\n".join(lines) + "\n").encode()
        if op == "ent_jwt":
            if query.get("json") != "false":
                return None
            if not device.token:
                return b"no token\n"
            return ("ok\n%s\n" % device.token).encode()
        # op == "bird"
        if query.get("no_cal") not in ("true", "false") or "fw" not in query:
            return None
        entry = device.builds.get(query.get("bld", ""))
        if entry is None or entry[1] is None or not os.path.isfile(entry[1]):
            return b"no such build\n"
        with open(entry[1], "rb") as f:
            text = base64.b64encode(f.read())
        if fault == "short-base64":
            text = text[:-1]
        return b"ok\n" + text + b"\n"

    def answer(self, status, body, fault=None):
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if fault in ("cut", "stall"):
            self.wfile.write(body[: len(body) // 2])
            self.wfile.flush()
            if fault == "stall":
                time.sleep(self.server.args.lifetime)
            self.close_connection = True
            return
        if fault and fault.startswith("slow="):
            seconds = float(fault.split("=", 1)[1])
            pieces = 20
            step = max(1, (len(body) + pieces - 1) // pieces)
            for i in range(0, len(body), step):
                self.wfile.write(body[i:i + step])
                self.wfile.flush()
                time.sleep(seconds / pieces)
            return
        self.wfile.write(body)


def parse_args(argv):
    parser = argparse.ArgumentParser(
        description="Reference update server: serves BIRD files per module serial number "
        "on 127.0.0.1 and prints its base URL as the first line of standard output.",
        epilog=__doc__.split("\n\n", 1)[1],
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--root", required=True, help="directory tree to serve")
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (default: a free one)")
    parser.add_argument("--log", help="append every request target to this file")
    parser.add_argument("--cert", help="server certificate (PEM): serve HTTPS")
    parser.add_argument("--key", help="private key of --cert (PEM)")
    parser.add_argument("--host-name", default="127.0.0.1",
                        help="host name written in the printed URL (default 127.0.0.1)")
    parser.add_argument("--fault", help="misbehave as described below")
    parser.add_argument("--fault-op", help="misbehave only for requests with this op")
    parser.add_argument("--lifetime", type=float, default=600.0,
                        help="stop after this many seconds (default 600)")
    parser.add_argument("--exit-on-eof", action="store_true",
                        help="stop when standard input reaches end of file (a test holds it open)")
    args = parser.parse_args(argv)
    if bool(args.cert) != bool(args.key):
        parser.error("--cert and --key go together")
    known = ("refuse", "garbage", "cut", "stall", "short-base64")
    if args.fault and args.fault not in known and not args.fault.startswith(("status=", "delay=", "slow=")):
        parser.error("unknown fault: %s" % args.fault)
    return args


def main(argv):
    args = parse_args(argv)
    server = Server(("127.0.0.1", args.port), args)
    scheme = "http"
    if args.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
        scheme = "https"
    print("%s://%s:%d%s" % (scheme, args.host_name, server.server_address[1], PATH), flush=True)

    def stop(*_):
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    timer = threading.Timer(args.lifetime, stop)
    timer.daemon = True
    timer.start()

    def watch_stdin():
        try:
            while sys.stdin.buffer.read(4096):
                pass
        except (OSError, ValueError):
            pass
        stop()

    if args.exit_on_eof:
        threading.Thread(target=watch_stdin, daemon=True).start()
    server.serve_forever(poll_interval=0.05)
    server.server_close()
    return 0


if __name__ == "__main__":
    status = main(sys.argv[1:])
    sys.stdout.flush()
    # Handler and watcher threads may still be blocked (a stalled answer,
    # standard input): leave without waiting for them.
    os._exit(status)
