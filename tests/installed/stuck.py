#!/usr/bin/env python3
"""A connection whose owner holds its socket: a send() stuck in a page fault (userfaultfd).

usage: stuck.py PORT HOLD_SECS

Opens 127.0.0.2 -> 127.0.0.3:PORT and makes the listener's side of it send from a page that
nobody fills, so the kernel holds that socket's lock until the page is released: a destroy of
it waits meanwhile. Prints "stuck" once the send waits, holds it HOLD_SECS, releases the page,
and prints whether the connection was then cut (exit 0) or not (exit 1); exit 2 when the
send could not be made to wait.
"""
import ctypes
import mmap
import os
import select
import socket
import sys
import threading
import time

SYS_USERFAULTFD = 323  # x86_64
UFFD_API = 0xAA
UFFDIO_API = 0xC018AA3F
UFFDIO_REGISTER = 0xC020AA00
UFFDIO_REGISTER_MODE_MISSING = 1
MSG_NOSIGNAL = 0x4000
PAGE = mmap.PAGESIZE

libc = ctypes.CDLL(None, use_errno=True)
libc.mmap.restype = ctypes.c_void_p
libc.mmap.argtypes = (ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int,
                      ctypes.c_int, ctypes.c_long)
libc.send.argtypes = (ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int)
libc.syscall.restype = ctypes.c_long


def fault_page():
    """An unfilled page registered with a userfaultfd, and the descriptor that fills it."""
    uffd = libc.syscall(SYS_USERFAULTFD, os.O_CLOEXEC | os.O_NONBLOCK)
    if uffd < 0:
        raise OSError(ctypes.get_errno(), "userfaultfd")
    api = (ctypes.c_uint64 * 3)(UFFD_API, 0, 0)
    if libc.ioctl(uffd, ctypes.c_ulong(UFFDIO_API), api) != 0:
        raise OSError(ctypes.get_errno(), "UFFDIO_API")
    page = libc.mmap(None, PAGE, mmap.PROT_READ | mmap.PROT_WRITE,
                     mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS, -1, 0)
    if page in (None, ctypes.c_void_p(-1).value):
        raise OSError(ctypes.get_errno(), "mmap")
    register = (ctypes.c_uint64 * 4)(page, PAGE, UFFDIO_REGISTER_MODE_MISSING, 0)
    if libc.ioctl(uffd, ctypes.c_ulong(UFFDIO_REGISTER), register) != 0:
        raise OSError(ctypes.get_errno(), "UFFDIO_REGISTER")
    return uffd, page


def main():
    port, hold = int(sys.argv[1]), float(sys.argv[2])
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.3", port))
    listener.listen(1)
    peer = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    peer.bind(("127.0.0.2", 0))
    peer.connect(("127.0.0.3", port))
    owner, _ = listener.accept()

    uffd, page = fault_page()
    sender = threading.Thread(
        target=libc.send, args=(owner.fileno(), page, PAGE, MSG_NOSIGNAL), daemon=True)
    sender.start()
    if not select.select([uffd], [], [], 5)[0]:
        print("the send did not wait for its page", flush=True)
        return 2
    print("stuck", flush=True)
    time.sleep(hold)
    # Closing the descriptor fills the page with zeros and lets the send, and the destroy, go on.
    os.close(uffd)
    sender.join(10)
    peer.settimeout(10)
    try:
        end = "open"
        while peer.recv(65536):
            pass
        end = "EOF"
    except ConnectionResetError:
        end = "reset"
    except socket.timeout:
        end = "open"
    print("released after %.0f s: the connection %s" % (hold, "was cut (%s)" % end
                                                       if end != "open" else "is still open"),
          flush=True)
    return 0 if end != "open" else 1


if __name__ == "__main__":
    raise SystemExit(main())
