#!/usr/bin/env python3
"""One TCP connection through a listener of its own, to see whether the guard cuts it.

usage: probe.py PORT --expect cut|open [--ipv6 NETNS] [--within SECS]

IPv4: the listener is 127.0.0.3:PORT, the client binds 127.0.0.2. IPv6: the listener is
fd4b:7e55::1 here, the client fd4b:7e55::2 in the network namespace NETNS (a veth pair the walk
made). The listener's side has PORT as its local port, so a rule blocking that port cuts it.
The client writes 16 bytes at once. "cut": the client is reset or sees the end within SECS and
the listener's application read no byte. "open": nothing ends it within SECS and an echo
crosses. Prints one line of evidence; exits 0 when the outcome is the expected one.
"""
import argparse
import ctypes
import errno
import os
import socket
import threading
import time

CLONE_NEWNET = 0x40000000
PAYLOAD = b"korvan-tessivo.."


def enter_netns(name):
    libc = ctypes.CDLL(None, use_errno=True)
    fd = os.open("/run/netns/" + name, os.O_RDONLY | os.O_CLOEXEC)
    try:
        if libc.setns(fd, CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), "setns " + name)
    finally:
        os.close(fd)


def why(e):
    return errno.errorcode.get(e.errno, str(e.errno)) if e.errno else str(e)


def serve(listener, secs, seen):
    """Accepts one connection, echoes what it reads, counts the bytes, notes how it ended."""
    listener.settimeout(secs + 5)
    try:
        conn, _ = listener.accept()
    except OSError as e:
        seen["server"] = "no accept: " + why(e)
        return
    conn.settimeout(0.1)
    end = time.monotonic() + secs + 3
    seen["server"] = "open"
    while time.monotonic() < end:
        try:
            data = conn.recv(4096)
        except socket.timeout:
            continue
        except OSError as e:
            seen["server"] = why(e)
            break
        if not data:
            seen["server"] = "EOF"
            break
        seen["read"] += len(data)
        try:
            conn.sendall(data)
        except OSError as e:
            seen["server"] = "send " + why(e)
            break
    conn.close()


def client(args, seen):
    if args.ipv6:
        enter_netns(args.ipv6)
        family, peer, own = socket.AF_INET6, ("fd4b:7e55::1", args.port), ("fd4b:7e55::2", 0)
    else:
        family, peer, own = socket.AF_INET, ("127.0.0.3", args.port), ("127.0.0.2", 0)
    sock = socket.socket(family, socket.SOCK_STREAM)
    sock.bind(own)
    start = time.monotonic()
    ms = lambda: int((time.monotonic() - start) * 1000)
    try:
        sock.connect(peer)
        sock.send(PAYLOAD)
    except OSError as e:
        seen["client"] = "reset at connect" if e.errno == errno.ECONNRESET else "error " + why(e)
        seen["ended"] = e.errno == errno.ECONNRESET
        return
    sock.settimeout(0.05)
    echoed = 0
    while time.monotonic() - start < args.within:
        try:
            data = sock.recv(4096)
        except socket.timeout:
            continue
        except OSError as e:
            seen["client"] = "%s after %d ms" % (why(e), ms())
            seen["ended"] = True
            break
        if not data:
            seen["client"] = "EOF after %d ms" % ms()
            seen["ended"] = True
            break
        echoed += len(data)
    else:
        # Still open: one more exchange shows it carries bytes both ways.
        try:
            sock.settimeout(5)
            sock.send(b"ping")
            got = sock.recv(4096)
            seen["client"] = "open after %d ms, echo %d+%d bytes" % (ms(), echoed, len(got))
            seen["echo"] = echoed + len(got) > 0
        except OSError as e:
            seen["client"] = "late %s after %d ms" % (why(e), ms())
            seen["ended"] = True
    sock.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("port", type=int)
    ap.add_argument("--expect", choices=("cut", "open"), required=True)
    ap.add_argument("--ipv6", metavar="NETNS")
    ap.add_argument("--within", type=float, default=5.0)
    args = ap.parse_args()

    if args.ipv6:
        listener = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
        where = ("fd4b:7e55::1", args.port)
    else:
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        where = ("127.0.0.3", args.port)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(where)
    listener.listen(4)
    seen = {"read": 0, "server": "-", "client": "-", "ended": False, "echo": False}
    server = threading.Thread(target=serve, args=(listener, args.within, seen))
    server.start()
    # The client in a thread of its own: entering a network namespace moves only that thread.
    side = threading.Thread(target=client, args=(args, seen))
    side.start()
    side.join()
    server.join()
    listener.close()

    outcome = "cut" if seen["ended"] and seen["read"] == 0 else ("open" if seen["echo"] else "?")
    print("port %d %s: %s; client: %s; listener's application read %d bytes, then %s"
          % (args.port, "IPv6" if args.ipv6 else "IPv4", outcome, seen["client"], seen["read"],
             seen["server"]), flush=True)
    return 0 if outcome == args.expect else 1


if __name__ == "__main__":
    raise SystemExit(main())
