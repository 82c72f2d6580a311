#pragma once
// The signatures by which programs recognise what a disk holds (partition
// tables, file systems, RAID and LVM members), as libblkid finds them, and
// their removal. libblkid is the probing the desktop, wipefs and UDisks2 use,
// so a disk on which it finds nothing looks empty to all of them.
//
// Everything works on a descriptor of the whole disk that the caller opened
// read+write and owns; only libblkid's reads and the magic bytes of the
// signatures found are touched, never the data between them. A GPT is looked
// for even without its protective MBR, so the backup GPT in the disk's last
// sectors is found once the primary one is gone.
//
// Threads: any; these wait on the disk's I/O, so never the window's thread.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct Signature {
    std::string type;          // "iso9660", "gpt", "dos", "ext4", "LVM2_member", ...
    std::int64_t offset = -1;  // of its magic bytes on the disk; -1: libblkid names none
    std::size_t length = 0;    // of its magic bytes
};

struct SignatureScan {
    std::vector<Signature> found;  // in the order libblkid reports them
    int error = 0;                 // errno when the disk could not be probed (found: so far)
};

// Every signature libblkid finds on the disk. fromDevice: the disk's cached
// pages are dropped first, so that the probe reads what the disk itself holds
// rather than what the kernel kept of earlier writes; flush those first.
SignatureScan FindSignatures(int fd, bool fromDevice);

// Zeroes the magic bytes of each signature (those without any are skipped).
// false at the first write that fails: errno says why, *failedAt where.
bool WipeSignatures(int fd, const std::vector<Signature>& signatures, std::int64_t* failedAt);

// "iso9660 at byte 32769", for messages.
std::string DescribeSignature(const Signature& signature);

}  // namespace platform
