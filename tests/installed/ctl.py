#!/usr/bin/env python3
"""A client of the service's control socket, as the window is one.

usage: ctl.py [--socket PATH] REQUEST_JSON...

Prints the first line the service sends, then sends each request and prints its answer (the
line carrying "reply"; events in between are skipped). Exit status: 0 when every answer says
"ok", 1 when one does not, 2 when the connection is refused or ends before an answer (what came
is printed), 3 on a line that is no JSON.
"""
import json
import socket
import sys


def main():
    args = sys.argv[1:]
    path = "/run/korvan-tessivo/control"
    if args[:1] == ["--socket"]:
        path, args = args[1], args[2:]
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.settimeout(30)
    try:
        sock.connect(path)
    except OSError as e:
        print("connect %s: %s" % (path, e), flush=True)
        return 2
    lines = sock.makefile("rwb")

    def read():
        try:
            return lines.readline().decode(errors="replace").rstrip("\n")
        except OSError as e:
            return "(%s)" % e

    first = read()
    print("< " + (first or "(end)"), flush=True)
    try:
        if json.loads(first).get("event") != "hello":
            return 2
    except ValueError:
        return 2 if not first else 3
    status = 0
    for request in args:
        lines.write(request.encode() + b"\n")
        lines.flush()
        print("> " + request, flush=True)
        while True:
            line = read()
            if not line or line.startswith("("):
                print("< " + (line or "(end)"), flush=True)
                return 2
            try:
                answer = json.loads(line)
            except ValueError:
                print("< (no JSON) " + line, flush=True)
                return 3
            if "reply" in answer:
                print("< " + line, flush=True)
                if not answer.get("ok"):
                    status = 1
                break
    return status


if __name__ == "__main__":
    raise SystemExit(main())
