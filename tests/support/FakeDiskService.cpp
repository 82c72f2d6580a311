#include "support/FakeDiskService.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace testsupport {

platform::DiskDescription FakeDiskService::UsbDisk(const std::string& name, std::uint64_t size,
                                                   const std::string& model) {
    platform::DiskDescription d;
    d.deviceProtocol = "USB";
    d.mediaWhole = true;
    d.mediaName = name;
    d.mediaSize = size;
    d.deviceModel = model;
    return d;
}

bool FakeDiskService::UnmountWholeDisk(const std::string& bsdName, platform::UnmountDone done) {
    if (!Describe(bsdName)) return false;
    unmountRequests.push_back(bsdName);
    const bool result = unmountSucceeds;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [done = std::move(done), result] { done(result); },
        Qt::QueuedConnection);
    return true;
}

}  // namespace testsupport
