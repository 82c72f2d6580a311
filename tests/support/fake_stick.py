#!/usr/bin/python3
"""A USB stick that lies or fails: one file MOUNT/stick over a smaller store.

  fake_stick.py MOUNT STORE CONTROL claimed=B [mode=genuine|wrap|drop|frozen]
                [eio-at=B] [fail-after=B] [flip-at=B] [stall-at=B] [latency=MS] [cache=B]

STORE is the flash; its size is the real size. wrap: an offset goes to itself
modulo the real size; drop: writes at or beyond it vanish, reads there give
zeros; frozen: every write is accepted and changes nothing. fail-after: once
that many bytes were written, every request fails with EIO (a stick pulled out
or dead mid-write; 0: at the first write). flip-at: that byte is read back
with its lowest bit flipped (a stick that returns wrong data). eio-at: reads and
writes touching that byte or a later one fail with EIO. stall-at: a write
touching it creates CONTROL/stalled and blocks (every other request waits too:
a stick that stopped answering) until CONTROL/release exists.
latency: the delay of a write that does not go on where the last one ended (a
random write; the loop device's throttle gives the sequential rate). cache: the
last B bytes written are read back from the controller's memory, whatever the
flash did with them. Mounted with direct_io: no page cache hides the lies.
"""
import errno
import os
import stat
import sys
import threading
import time

from fusepy import FUSE, FuseOSError, Operations


class FakeStick(Operations):
    def __init__(self, store, control, opts):
        self.fd = os.open(store, os.O_RDWR)
        self.real = os.fstat(self.fd).st_size
        self.claimed = int(opts["claimed"])
        self.mode = opts.get("mode", "genuine")
        self.eio_at, self.stall_at = int(opts.get("eio-at", -1)), int(opts.get("stall-at", -1))
        self.latency = int(opts.get("latency", 0)) / 1000.0
        self.cache_bytes, self.cache = int(opts.get("cache", 0)), []  # (offset, bytes), oldest first
        self.control, self.next_write, self.mutex = control, -1, threading.Lock()
        self.fail_after, self.written, self.gone = int(opts.get("fail-after", -1)), 0, False
        self.flip_at = int(opts.get("flip-at", -1))

    def getattr(self, path, fh=None):
        if path == "/":
            return {"st_mode": stat.S_IFDIR | 0o755, "st_nlink": 2}
        if path != "/stick":
            raise FuseOSError(errno.ENOENT)
        return {"st_mode": stat.S_IFREG | 0o600, "st_nlink": 1, "st_size": self.claimed}

    def pieces(self, offset, size):
        """(where in the store or None, offset, length) for each piece of a range."""
        while size > 0:
            inside = offset % self.real if self.mode == "wrap" else offset
            n = min(size, self.real - inside) if inside < self.real else size
            yield (inside if inside < self.real else None), offset, n
            offset, size = offset + n, size - n

    def check(self, offset, size):
        if self.gone or 0 <= self.eio_at < offset + size:
            raise FuseOSError(errno.EIO)

    def read(self, path, size, offset, fh):
        size = max(0, min(size, self.claimed - offset))
        with self.mutex:
            self.check(offset, size)
            data = bytearray()
            for inside, _, n in self.pieces(offset, size):
                data += os.pread(self.fd, n, inside) if inside is not None else bytes(n)
            for at, piece in self.cache:
                lo, hi = max(at, offset), min(at + len(piece), offset + size)
                if lo < hi:
                    data[lo - offset:hi - offset] = piece[lo - at:hi - at]
            if offset <= self.flip_at < offset + size:
                data[self.flip_at - offset] ^= 1
            return bytes(data)

    def write(self, path, data, offset, fh):
        with self.mutex:
            self.gone = self.gone or 0 <= self.fail_after <= self.written
            self.check(offset, len(data))
            release = os.path.join(self.control, "release")
            if 0 <= self.stall_at < offset + len(data) and not os.path.exists(release):
                open(os.path.join(self.control, "stalled"), "w").close()
                while not os.path.exists(release):
                    time.sleep(0.02)
            if self.latency and offset != self.next_write:
                time.sleep(self.latency)
            self.next_write, self.written = offset + len(data), self.written + len(data)
            for inside, at, n in self.pieces(offset, len(data)):
                if inside is not None and self.mode != "frozen":
                    os.pwrite(self.fd, data[at - offset:at - offset + n], inside)
            if self.cache_bytes:
                self.cache.append((offset, bytes(data)))
                while sum(len(p) for _, p in self.cache) > self.cache_bytes:
                    self.cache.pop(0)
            return len(data)


if __name__ == "__main__":
    opts = dict(arg.split("=", 1) for arg in sys.argv[4:])
    FUSE(FakeStick(sys.argv[2], sys.argv[3], opts), sys.argv[1], foreground=True,
         direct_io=True, big_writes=True, max_write=131072, allow_other=True)
