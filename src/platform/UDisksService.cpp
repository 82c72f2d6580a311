#include "platform/UDisksService.h"

#include <cstdio>

namespace platform {

namespace {

class UnavailableDiskService final : public DiskService {
public:
    UnavailableDiskService() { std::fputs("disk service unavailable\n", stderr); }
    bool UnmountWholeDisk(const std::string&, UnmountDone) override { return false; }
};

}  // namespace

std::unique_ptr<DiskService> CreateSystemDiskService() {
    return std::make_unique<UnavailableDiskService>();
}

}  // namespace platform
