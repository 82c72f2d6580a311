#pragma once
// The one way the program opens a device node for writing.
//
// The node is never created or truncated. A block device is opened
// exclusively (O_EXCL: refused while anything on it is mounted) and, when
// asked, unbuffered (O_DIRECT); a regular file (tests) gets neither. When the
// kernel refuses for lack of permission and a privileged opener is installed
// (the UDisks2 backend installs one), the descriptor comes from it instead.
//
// Threads: callable from any thread; the privileged opener may wait a long
// time (a password prompt), so the window's thread must not call it for a
// device that may need one.

#include <string>

namespace platform {

struct OpenedDevice {
    int fd = -1;               // -1 on failure
    int error = 0;             // errno of the failure
    bool blockDevice = false;  // the node is a block device
    bool direct = false;       // opened with O_DIRECT
};

// wantDirect: use O_DIRECT for a block device.
OpenedDevice OpenDeviceForWriting(const char* path, bool wantDirect);

// Asks someone with the rights for a descriptor of `path` opened for writing
// with `flags` (O_EXCL, O_DIRECT, O_CLOEXEC). Returns the descriptor, or -1
// with *error set.
using PrivilegedOpener = int (*)(const char* path, int flags, int* error);
void SetPrivilegedOpener(PrivilegedOpener opener);

}  // namespace platform
