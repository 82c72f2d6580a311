#pragma once
// An in-process disk service for tests: the test adds and removes disks and
// decides how unmount requests end. Everything on the main thread; unmount
// completions arrive from the event loop, as from the real service.

#include <string>
#include <vector>

#include "platform/DiskService.h"

namespace testsupport {

class FakeDiskService final : public platform::DiskService {
  public:
    // A USB whole disk as the registry expects it.
    static platform::DiskDescription UsbDisk(const std::string& name, std::uint64_t size,
                                             const std::string& model);

    void AddDisk(const std::string& bsdName, const platform::DiskDescription& description) {
        SetDisk(bsdName, description);
    }
    void RemoveDisk(const std::string& bsdName) { platform::DiskService::RemoveDisk(bsdName); }
    void RemoveAll() { RemoveAllDisks(); }

    bool UnmountWholeDisk(const std::string& bsdName, platform::UnmountDone done) override;

    bool unmountSucceeds = true;               // what the next completions report
    std::vector<std::string> unmountRequests;  // BSD names, in request order
};

}  // namespace testsupport
