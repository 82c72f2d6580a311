#include "platform/disks/DriveSafety.h"

#include <algorithm>
#include <array>
#include <set>

namespace platform {

namespace {

constexpr std::array<std::string_view, 6> kSystemMounts = {"/",    "/boot", "/boot/efi",
                                                           "/usr", "/var",  "/home"};

const BlockNode* FindNode(const KernelView& view, const std::string& name) {
    for (const BlockNode& node : view.nodes) {
        if (node.name == name) return &node;
    }
    return nullptr;
}

const BlockNode* NodeWithNumber(const KernelView& view, const std::string& devNumber) {
    for (const BlockNode& node : view.nodes) {
        if (!devNumber.empty() && node.devNumber == devNumber) return &node;
    }
    return nullptr;
}

// The block device a mount is on: the node of its device number, else the
// node its source names (btrfs shows a number of its own); empty for a file
// system on no block device (tmpfs, NFS, overlay).
std::string MountDevice(const MountRow& row, const KernelView& view) {
    if (const BlockNode* node = NodeWithNumber(view, row.devNumber)) return node->name;
    return row.source;
}

bool UnderMountPoint(const std::string& path, const std::string& point) {
    if (point == "/") return path.starts_with('/');
    return path.starts_with(point) && (path.size() == point.size() || path[point.size()] == '/');
}

// The block device holding `path`: that of the mount it is under (the
// longest mount point; among equal ones, the last mounted). Empty for a
// file system on no block device; none when it cannot be told.
std::optional<std::string> DeviceOfPath(const std::string& path, const KernelView& view) {
    const MountRow* best = nullptr;
    std::size_t bestLength = 0;
    for (const MountRow& row : view.mounts) {
        const auto point = DecodeProcPath(row.mountPoint);
        if (!point) return std::nullopt;
        if (UnderMountPoint(path, *point) && (!best || point->size() >= bestLength)) {
            best = &row;
            bestLength = point->size();
        }
    }
    if (!best) return std::nullopt;
    return MountDevice(*best, view);
}

// Every block device on a disk: the disk, its partitions and whatever is
// stacked on them, or why that cannot be told.
struct Stack {
    std::set<std::string> names;
    std::string undecided;
};

class StackWalk {
  public:
    explicit StackWalk(const KernelView& view) : m_view(view) {}

    Stack Walk(const std::string& disk) {
        Visit(disk);
        return std::move(m_stack);
    }

  private:
    bool Visit(const std::string& name) {
        if (std::find(m_path.begin(), m_path.end(), name) != m_path.end()) {
            m_stack.undecided = "holders of " + name + " lead back to it";
            return false;
        }
        if (m_stack.names.count(name)) return true;  // reached twice, as md over two partitions
        const BlockNode* node = FindNode(m_view, name);
        if (!node || node->devNumber.empty()) {
            m_stack.undecided = "no " + name + " in sysfs";
            return false;
        }
        m_stack.names.insert(name);
        m_path.push_back(name);
        bool ok = true;
        for (const std::string& holder : node->holders) ok = ok && Visit(holder);
        for (const BlockNode& other : m_view.nodes) {
            if (!ok) break;
            if (other.parent == name) ok = Visit(other.name);
            // A loop device whose backing file lives here is stacked on it.
            if (ok && other.backingFile && DeviceOfPath(*other.backingFile, m_view) == name)
                ok = Visit(other.name);
        }
        m_path.pop_back();
        return ok;
    }

    const KernelView& m_view;
    Stack m_stack;
    std::vector<std::string> m_path;  // the walk's way down, to see a loop
};

std::optional<SystemUse> Undecided(std::string why) {
    return SystemUse{false, std::move(why)};
}

// The system's use of the devices of one stack.
std::optional<SystemUse> UseOfStack(const Stack& stack, const KernelView& view) {
    if (!stack.undecided.empty()) return Undecided(stack.undecided);
    for (const MountRow& row : view.mounts) {
        if (!stack.names.count(MountDevice(row, view))) continue;
        const auto point = DecodeProcPath(row.mountPoint);
        if (!point) return Undecided("mount point " + row.mountPoint);
        if (std::find(kSystemMounts.begin(), kSystemMounts.end(), *point) != kSystemMounts.end())
            return SystemUse{true, *point};
    }
    for (const SwapRow& swap : view.swaps) {
        std::optional<std::string> device = swap.device;
        if (!swap.partition) {
            const auto file = DecodeProcPath(swap.fileName);
            device = file ? DeviceOfPath(*file, view) : std::nullopt;
        }
        if (!device || (swap.partition && device->empty()))
            return Undecided("swap area " + swap.fileName);
        if (stack.names.count(*device)) return SystemUse{true, "swap"};
    }
    return std::nullopt;
}

bool Usable(const std::string& value) {
    const bool blank = std::all_of(value.begin(), value.end(), [](char c) { return c == ' '; });
    const bool control = std::any_of(value.begin(), value.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
    });
    return !blank && !control;
}

}  // namespace

std::optional<SystemUse> RunningSystemOn(const std::string& disk, const KernelView& view) {
    if (!view.unreadable.empty()) return Undecided("cannot read " + view.unreadable);
    if (auto use = UseOfStack(StackWalk(view).Walk(disk), view)) return use;
    // A loop device whose backing file cannot be placed may be on any disk:
    // if the system uses it, no disk can be said to be free of the system.
    for (const BlockNode& node : view.nodes) {
        if (!node.backingFile || DeviceOfPath(*node.backingFile, view)) continue;
        if (UseOfStack(StackWalk(view).Walk(node.name), view))
            return Undecided("backing file of " + node.name);
    }
    return std::nullopt;
}

bool FileOnDisk(const std::string& fileDevice, const std::string& disk, const KernelView& view) {
    const Stack stack = StackWalk(view).Walk(disk);
    if (!stack.undecided.empty()) return true;
    if (const BlockNode* node = NodeWithNumber(view, fileDevice))
        return stack.names.count(node->name);
    bool mounted = false;
    for (const MountRow& row : view.mounts) {
        if (row.devNumber != fileDevice) continue;
        mounted = true;
        if (stack.names.count(row.source)) return true;
    }
    return !mounted;  // a file system that no mount shows: cannot be told
}

std::optional<std::string> DecodeProcPath(std::string_view text) {
    std::string path;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            path += text[i];
            continue;
        }
        if (text.size() - i < 4) return std::nullopt;
        int value = 0;
        for (std::size_t k = 1; k <= 3; ++k) {
            const char digit = text[i + k];
            if (digit < '0' || digit > '7') return std::nullopt;
            value = value * 8 + (digit - '0');
        }
        if (value > 0xff) return std::nullopt;
        path += static_cast<char>(value);
        i += 3;
    }
    return path;
}

std::string DriveIdentity(const std::string& serial, const std::string& wwn,
                          const std::string& objectPath) {
    for (const std::string* value : {&serial, &wwn, &objectPath}) {
        if (Usable(*value)) return *value;
    }
    return {};
}

bool SameDisk(const DiskFacts& confirmed, const DiskFacts& now) {
    return !confirmed.identity.empty() && confirmed.identity == now.identity &&
           confirmed.size == now.size && confirmed.name == now.name && confirmed.info == now.info;
}

bool LooksLikeHardDisk(bool removable, bool mediaRemovable, std::uint64_t size) {
    return (!removable && !mediaRemovable) || size > kLargeDiskBytes;
}

bool WriteProtected(bool serviceReadOnly, bool kernelReadOnly) {
    return serviceReadOnly || kernelReadOnly;
}

}  // namespace platform
