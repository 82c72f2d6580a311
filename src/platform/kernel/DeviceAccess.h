#pragma once
// The one way the program opens a device node for writing (and, when asked,
// for reading back what was written), and the write and flush helpers that
// go with it.
//
// Only block devices are written: the node is opened exclusively (O_EXCL:
// refused while anything on it is mounted or another program holds it
// exclusively), when asked unbuffered (O_DIRECT), never created or truncated.
// Anything else (a regular file, a character device, a link to either) fails
// with ENOTBLK, checked on the opened descriptor. When the kernel refuses for
// lack of permission and a privileged opener is installed (the UDisks2
// backend installs one), the descriptor comes from it instead, and is checked
// the same way.
//
// Threads: callable from any thread; the privileged opener may wait a long
// time (a password prompt), so the window's thread must not call it for a
// device that may need one. The caller owns the returned descriptor.

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

struct OpenedDevice {
    int fd = -1;          // -1 on failure
    int error = 0;        // errno of the failure
    bool direct = false;  // opened with O_DIRECT
    // Logical sector size of a block device (BLKSSZGET); O_DIRECT transfers
    // must be whole sectors from a buffer aligned to it.
    int logicalBlockSize = 1;
    std::int64_t size = -1;  // bytes (BLKGETSIZE64); -1 when the driver does not tell
};

// wantDirect: use O_DIRECT (dropped for a driver that does not take it).
// alsoRead: open read+write (O_RDWR) instead of write-only, so that one
// descriptor, and one password prompt, serves the write and its read-back.
OpenedDevice OpenDeviceForWriting(const char* path, bool wantDirect, bool alsoRead = false);

// Asks someone with the rights for a descriptor of `path` opened with
// `flags`: the full open(2) flags of the refused direct open (O_WRONLY or
// O_RDWR, O_CLOEXEC, O_EXCL, plus O_DIRECT when asked for). Returns
// the descriptor, or -1 with *error set. Installed once at start; nullptr
// removes it.
using PrivilegedOpener = int (*)(const char* path, int flags, int* error);
void SetPrivilegedOpener(PrivilegedOpener opener);

// Gives up (true), or no longer gives up (false), the wait on the
// privileged opener: an open that waits on a password prompt then fails at
// once with ECANCELED, and nothing is opened. Process-wide; any thread.
void AbandonOpens(bool abandon);
bool OpensAbandoned();

// Writes all `size` bytes, continuing after short writes and EINTR. Returns
// the number of bytes written; less than `size` means an error or the end of
// the device (errno tells which; 0 bytes accepted counts as ENOSPC).
std::size_t WriteAll(int fd, const void* data, std::size_t size);

// Reads until `size` bytes or the end of the file. Returns the byte count,
// or -1 on a read error.
long long ReadFull(int fd, void* data, std::size_t size);

// The same from byte `offset` on (pread), leaving the file position alone; a
// negative offset reads on from the file position.
long long ReadFullAt(int fd, void* data, std::size_t size, std::int64_t offset);

// Makes what was written reach the device (fsync). A character device that
// cannot be flushed (/dev/null: EINVAL, EROFS) has nothing to flush and
// counts as flushed; for regular files and block devices any error fails.
bool FlushDevice(int fd);

// Switches O_DIRECT on or off for an open descriptor.
bool SetDirect(int fd, bool on);

}  // namespace platform
