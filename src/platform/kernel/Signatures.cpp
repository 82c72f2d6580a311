#include "platform/kernel/Signatures.h"

#include <blkid/blkid.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "platform/kernel/DeviceAccess.h"

namespace platform {

namespace {

struct FreeProbe {
    void operator()(blkid_probe probe) const { blkid_free_probe(probe); }
};
using Probe = std::unique_ptr<std::remove_pointer_t<blkid_probe>, FreeProbe>;

// A value of the match libblkid just reported, or nullptr.
const char* Value(blkid_probe probe, const char* name, std::size_t* length = nullptr) {
    const char* data = nullptr;
    std::size_t size = 0;
    if (blkid_probe_lookup_value(probe, name, &data, &size) != 0) return nullptr;
    if (length) *length = size;
    return data;
}

// The match as a signature: a superblock (file system, RAID or LVM member,
// ...) or a partition table, each with its own names for type and magic.
Signature Current(blkid_probe probe) {
    const bool superblock = Value(probe, "TYPE") != nullptr;
    const char* type = Value(probe, superblock ? "TYPE" : "PTTYPE");
    Signature signature;
    signature.type = type ? type : "unknown";
    const char* offset = Value(probe, superblock ? "SBMAGIC_OFFSET" : "PTMAGIC_OFFSET");
    std::size_t length = 0;
    if (offset && Value(probe, superblock ? "SBMAGIC" : "PTMAGIC", &length)) {
        signature.offset = std::strtoll(offset, nullptr, 10);
        signature.length = length;
    }
    return signature;
}

// libblkid leaves errno as its failed read or ioctl left it.
int ProbeError() {
    return errno != 0 ? errno : EIO;
}

}  // namespace

SignatureScan FindSignatures(int fd, bool fromDevice) {
    SignatureScan scan;
    if (fromDevice) {
        const int error = posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        if (error != 0) {
            scan.error = error;
            return scan;
        }
    }
    errno = 0;
    const Probe probe(blkid_new_probe());
    if (!probe || blkid_probe_set_device(probe.get(), fd, 0, 0) != 0 ||
        blkid_probe_enable_superblocks(probe.get(), 1) != 0 ||
        blkid_probe_set_superblocks_flags(
            probe.get(), BLKID_SUBLKS_TYPE | BLKID_SUBLKS_MAGIC | BLKID_SUBLKS_BADCSUM) != 0 ||
        blkid_probe_enable_partitions(probe.get(), 1) != 0 ||
        blkid_probe_set_partitions_flags(probe.get(), BLKID_PARTS_MAGIC | BLKID_PARTS_FORCE_GPT) !=
            0) {
        scan.error = ProbeError();
        return scan;
    }
    // Each call reports the next match of any kind; 1 when there is none left.
    errno = 0;
    int result;
    while ((result = blkid_do_probe(probe.get())) == 0) scan.found.push_back(Current(probe.get()));
    if (result < 0) scan.error = ProbeError();
    return scan;
}

bool WipeSignatures(int fd, const std::vector<Signature>& signatures, std::int64_t* failedAt) {
    for (const Signature& signature : signatures) {
        if (signature.offset < 0 || signature.length == 0) continue;
        const std::string zeros(signature.length, '\0');
        if (lseek(fd, signature.offset, SEEK_SET) != signature.offset ||
            WriteAll(fd, zeros.data(), zeros.size()) != zeros.size()) {
            *failedAt = signature.offset;
            return false;
        }
    }
    return true;
}

std::string DescribeSignature(const Signature& signature) {
    if (signature.offset < 0) return signature.type;
    return signature.type + " at byte " + std::to_string(signature.offset);
}

}  // namespace platform
