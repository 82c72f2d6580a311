#include "platform/kernel/DeviceAccess.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

namespace platform {

namespace {

std::atomic<PrivilegedOpener> g_privilegedOpener{nullptr};
std::atomic<bool> g_opensAbandoned{false};

bool PermissionDenied(int error) {
    return error == EACCES || error == EPERM;
}

// The same disk as the one examined before opening: a node swapped between
// stat and open (a stick pulled and another plugged in, a link replaced) must
// not be written.
bool SameDisk(const struct stat& a, const struct stat& b) {
    return S_ISBLK(a.st_mode) && S_ISBLK(b.st_mode) && a.st_rdev == b.st_rdev;
}

OpenedDevice Failure(int error) {
    OpenedDevice device;
    device.error = error;
    return device;
}

// Takes over an opened descriptor. Whatever the path named and whoever opened
// it, only a disk is written: a link to a log file or a terminal is not (the
// descriptor is closed, ENOTBLK).
OpenedDevice Describe(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode)) {
        close(fd);
        return Failure(ENOTBLK);
    }
    OpenedDevice device;
    device.fd = fd;
    int size = 0;
    device.logicalBlockSize = ioctl(fd, BLKSSZGET, &size) == 0 && size > 0 ? size : 512;
    std::uint64_t bytes = 0;
    if (ioctl(fd, BLKGETSIZE64, &bytes) == 0 && bytes <= INT64_MAX)
        device.size = static_cast<std::int64_t>(bytes);
    const int flags = fcntl(fd, F_GETFL);
    device.direct = flags != -1 && (flags & O_DIRECT) != 0;
    return device;
}

// Falls back to the privileged opener; `error` is the refusal to report when
// there is none or it fails too.
OpenedDevice OpenPrivileged(const char* path, int flags, int error) {
    const PrivilegedOpener opener = g_privilegedOpener.load();
    if (!opener || !PermissionDenied(error)) return Failure(error);
    if (g_opensAbandoned.load()) return Failure(ECANCELED);
    int openerError = error;
    const int fd = opener(path, flags, &openerError);
    if (fd < 0) return Failure(openerError ? openerError : error);
    return Describe(fd);
}

}  // namespace

OpenedDevice OpenDeviceForWriting(const char* path, bool wantDirect, bool alsoRead) {
    if (!path || !*path) return Failure(ENOENT);
    int flags = (alsoRead ? O_RDWR : O_WRONLY) | O_CLOEXEC | O_EXCL | (wantDirect ? O_DIRECT : 0);

    struct stat before;
    if (stat(path, &before) != 0) {
        // The node cannot even be looked at; only a block device can be
        // handed out by the privileged opener, so ask for one.
        return OpenPrivileged(path, flags, errno);
    }
    // Not even opened: a FIFO would block, a terminal could become ours.
    if (!S_ISBLK(before.st_mode)) return Failure(ENOTBLK);

    int fd = open(path, flags);
    if (fd < 0 && errno == EINVAL && (flags & O_DIRECT)) {
        // A driver without direct I/O: buffered writes, flushed at the end.
        flags &= ~O_DIRECT;
        fd = open(path, flags);
    }
    if (fd < 0) return OpenPrivileged(path, flags, errno);

    struct stat after;
    if (fstat(fd, &after) != 0 || !SameDisk(before, after)) {
        close(fd);
        return Failure(ESTALE);
    }
    return Describe(fd);
}

void AbandonOpens(bool abandon) {
    g_opensAbandoned.store(abandon);
}

bool OpensAbandoned() {
    return g_opensAbandoned.load();
}

void SetPrivilegedOpener(PrivilegedOpener opener) {
    g_privilegedOpener.store(opener);
}

std::size_t WriteAll(int fd, const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, bytes + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (n == 0) {
            errno = ENOSPC;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

long long ReadFull(int fd, void* data, std::size_t size) {
    return ReadFullAt(fd, data, size, -1);
}

long long ReadFullAt(int fd, void* data, std::size_t size, std::int64_t offset) {
    char* bytes = static_cast<char*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = offset < 0 ? read(fd, bytes + done, size - done)
                                     : pread(fd, bytes + done, size - done,
                                             static_cast<off_t>(offset) + static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<long long>(done);
}

bool FlushDevice(int fd) {
    if (fsync(fd) == 0) return true;
    const int error = errno;
    if (error != EINVAL && error != EROFS) return false;
    struct stat st;
    return fstat(fd, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode);
}

bool SetDirect(int fd, bool on) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags == -1) return false;
    const int wanted = on ? (flags | O_DIRECT) : (flags & ~O_DIRECT);
    return wanted == flags || fcntl(fd, F_SETFL, wanted) == 0;
}

}  // namespace platform
