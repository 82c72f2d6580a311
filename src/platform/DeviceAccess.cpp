#include "platform/DeviceAccess.h"

// Placeholder: device access lands with the writer.

namespace platform {

OpenedDevice OpenDeviceForWriting(const char*, bool) { return {}; }
void SetPrivilegedOpener(PrivilegedOpener) {}

}  // namespace platform
