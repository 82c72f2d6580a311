#pragma once
// The rules that decide which disk this program may touch: whether a disk
// holds the running system (it is then never offered), whether a file lives
// on the disk it would be written to, whether the disk about to be unmounted
// is still the disk the user confirmed, and which disks get a warning or a
// refusal before anything happens to them.
//
// Pure functions over plain data: what the kernel tells of its block devices,
// mounts and swap areas (read by KernelView), and the drive properties the
// disk service gives. Where that data allows no answer, the answer is the
// safe one: the disk counts as in use.
//
// Threads: any; nothing here has state.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// One block device as sysfs shows it (/sys/class/block/NAME).
struct BlockNode {
    std::string name;                        // "sdb1", "dm-0", "loop3"
    std::string devNumber;                   // "8:17"; empty when it could not be read
    std::string parent;                      // the whole disk of a partition, else empty
    std::vector<std::string> holders;        // devices stacked right on it (holders/)
    std::optional<std::string> backingFile;  // a loop device's backing file
    bool readOnly = false;                   // the kernel's ro flag
};

// One row of /proc/self/mountinfo.
struct MountRow {
    std::string devNumber;   // "8:17"; "0:N" for a file system on no one block device
    std::string mountPoint;  // as the kernel writes it: a blank is \040
    std::string source;      // the block device the mount source names ("sdb2"), else empty
};

// One row of /proc/swaps.
struct SwapRow {
    bool partition = false;
    std::string device;    // a partition's block device ("sdb2"); empty when unknown
    std::string fileName;  // a swap file, as the kernel writes it: a blank is \040
};

struct KernelView {
    std::vector<BlockNode> nodes;
    std::vector<MountRow> mounts;
    std::vector<SwapRow> swaps;
    std::string unreadable;  // the table that could not be read; empty when all could
};

// How the running system uses a disk: a mount point such as "/boot", or
// "swap". Not certain: the data allowed no answer, `what` says why.
struct SystemUse {
    bool certain = true;
    std::string what;
};

// The running system's use of the whole disk `disk`: a file system mounted
// at /, /boot, /boot/efi, /usr, /var or /home, or an active swap area, on
// the disk, a partition of it or anything stacked on those (dm-crypt, LVM,
// md, a loop device whose backing file is there). None when there is none.
std::optional<SystemUse> RunningSystemOn(const std::string& disk, const KernelView& view);

// Whether a file whose file system has the device number `fileDevice` (its
// st_dev, "8:17") lives on `disk` or on anything stacked on it. true also
// when that cannot be told.
bool FileOnDisk(const std::string& fileDevice, const std::string& disk, const KernelView& view);

// The kernel's octal escapes in the paths of /proc tables undone; none when
// they are malformed.
std::optional<std::string> DecodeProcPath(std::string_view text);

// What identifies a drive whatever node it is given: its serial, else its
// WWN, else the disk service's object path for it. A value that is empty,
// blank or holds control characters does not count.
std::string DriveIdentity(const std::string& serial, const std::string& wwn,
                          const std::string& objectPath);

// A disk as the user saw it in the list.
struct DiskFacts {
    std::uint64_t size = 0;
    std::string name;      // vendor and model
    std::string info;      // model, bus and size line
    std::string identity;  // DriveIdentity
};

// The disk the service describes now is the one the user confirmed: same
// size, name, model and drive identity (a disk without an identity is never
// the same as anything).
bool SameDisk(const DiskFacts& confirmed, const DiskFacts& now);

// Larger than this, a disk is more likely a hard disk than a USB stick. A
// 128 GB stick (128 * 10^9 bytes or a little more) stays below it.
inline constexpr std::uint64_t kLargeDiskBytes = std::uint64_t(128) << 30;

// A disk that looks like a hard disk rather than a USB stick: neither the
// drive nor its media are removable, or it is larger than kLargeDiskBytes.
bool LooksLikeHardDisk(bool removable, bool mediaRemovable, std::uint64_t size);

// Write-protected: the disk service or the kernel says the disk is read-only.
bool WriteProtected(bool serviceReadOnly, bool kernelReadOnly);

}  // namespace platform
