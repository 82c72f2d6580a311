#include "platform/disks/DevicePaths.h"

namespace platform {

namespace {
constexpr char kDevPrefix[] = "/dev/";
}

std::string BlockNodePath(const std::string& bsdName) {
    return kDevPrefix + bsdName;
}

std::string RawNodePath(const std::string& bsdName) {
    return BlockNodePath(bsdName);
}

std::string PartitionNodePath(const std::string& bsdName, int k) {
    std::string path = BlockNodePath(bsdName);
    if (!bsdName.empty() && bsdName.back() >= '0' && bsdName.back() <= '9') path += 'p';
    return path + std::to_string(k);
}

std::string BsdNameFromPath(const std::string& path) {
    const std::string prefix = kDevPrefix;
    if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) return {};
    std::string name = path.substr(prefix.size());
    if (name.find('/') != std::string::npos) return {};
    return name;
}

}  // namespace platform
