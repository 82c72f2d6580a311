"""A failing stick for the tests: fake_stick.py BACKING MOUNTPOINT drops|gone serves BACKING as
MOUNTPOINT/stick through FUSE, for a loop device. 'drops' takes every write and keeps none (a
stick that ignores writes); 'gone' fails every read and write with EIO from the first write on
(a stick pulled out). It returns once mounted; the server ends with the mount. direct_io: every
read asks this process, never the kernel's cache."""

import errno
import os
import stat
import sys

from fusepy import FUSE, FuseOSError, Operations


class Stick(Operations):
    def __init__(self, backing, mode):
        self.fd, self.mode, self.gone = os.open(backing, os.O_RDONLY), mode, False

    def getattr(self, path, fh=None):
        if path == '/':
            return {'st_mode': stat.S_IFDIR | 0o755, 'st_nlink': 2}
        if path != '/stick':
            raise FuseOSError(errno.ENOENT)
        return {'st_mode': stat.S_IFREG | 0o600, 'st_nlink': 1, 'st_size': os.fstat(self.fd).st_size}

    def read(self, path, size, offset, fh):
        if self.gone:
            raise FuseOSError(errno.EIO)
        return os.pread(self.fd, size, offset)

    def write(self, path, data, offset, fh):
        self.gone = self.mode == 'gone'
        if self.gone:
            raise FuseOSError(errno.EIO)
        return len(data)


FUSE(Stick(sys.argv[1], sys.argv[3]), sys.argv[2], foreground=False, direct_io=True)
