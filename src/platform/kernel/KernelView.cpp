#include "platform/kernel/KernelView.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace platform {

namespace fs = std::filesystem;

namespace {

const fs::path kBlockClass = "/sys/class/block";

// The first line of a sysfs attribute; none when it cannot be read.
std::optional<std::string> ReadLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) return std::nullopt;
    return line;
}

std::vector<std::string> Entries(const fs::path& dir) {
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error))
        names.push_back(it->path().filename().string());
    return names;
}

// The block device a /dev path names ("/dev/mapper/root" -> "dm-0"), links
// followed; empty for anything else. /dev is in memory, like sysfs.
std::string DeviceNamed(const std::string& escapedPath) {
    const auto path = DecodeProcPath(escapedPath);
    if (!path || !path->starts_with("/dev/")) return {};
    std::error_code error;
    const fs::path real = fs::canonical(*path, error);
    if (error || real.parent_path() != "/dev") return {};
    return real.filename().string();
}

BlockNode ReadNode(const std::string& name) {
    const fs::path dir = kBlockClass / name;
    BlockNode node;
    node.name = name;
    node.devNumber = ReadLine(dir / "dev").value_or("");
    std::error_code error;
    if (fs::exists(dir / "partition", error)) {
        const fs::path real = fs::canonical(dir, error);
        if (!error) node.parent = real.parent_path().filename().string();
    }
    node.holders = Entries(dir / "holders");
    if (fs::exists(dir / "loop", error)) node.backingFile = ReadLine(dir / "loop" / "backing_file");
    node.readOnly = ReadLine(dir / "ro").value_or("0") == "1";
    return node;
}

std::vector<std::string> Fields(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> fields;
    for (std::string field; in >> field;) fields.push_back(field);
    return fields;
}

// ID PARENT MAJ:MIN ROOT MOUNT-POINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPER-OPTIONS
bool ReadMounts(std::vector<MountRow>* rows) {
    std::ifstream in("/proc/self/mountinfo");
    if (!in) return false;
    for (std::string line; std::getline(in, line);) {
        const std::vector<std::string> f = Fields(line);
        std::size_t separator = 6;
        while (separator < f.size() && f[separator] != "-") ++separator;
        if (separator + 2 >= f.size()) return false;
        rows->push_back({f[2], f[4], DeviceNamed(f[separator + 2])});
    }
    return true;
}

// Filename Type Size Used Priority
bool ReadSwaps(std::vector<SwapRow>* rows) {
    std::ifstream in("/proc/swaps");
    if (!in) return errno == ENOENT;  // a kernel without swap
    std::string line;
    std::getline(in, line);  // the heading
    while (std::getline(in, line)) {
        const std::vector<std::string> f = Fields(line);
        if (f.size() < 2) return false;
        const bool partition = f[1] == "partition";
        rows->push_back({partition, partition ? DeviceNamed(f[0]) : std::string(), f[0]});
    }
    return true;
}

}  // namespace

KernelView ReadKernelView() {
    KernelView view;
    for (const std::string& name : Entries(kBlockClass)) view.nodes.push_back(ReadNode(name));
    if (view.nodes.empty()) view.unreadable = kBlockClass.string();
    if (!ReadMounts(&view.mounts)) view.unreadable = "/proc/self/mountinfo";
    if (!ReadSwaps(&view.swaps)) view.unreadable = "/proc/swaps";
    return view;
}

std::string FileSystemOf(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return {};
    return std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
}

}  // namespace platform
