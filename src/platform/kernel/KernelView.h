#pragma once
// What the kernel itself says of the block devices and their use: the
// devices and what is stacked on them (sysfs /sys/class/block: dev,
// partition, holders, loop/backing_file, ro), the mounts this process sees
// (/proc/self/mountinfo) and the active swap areas (/proc/swaps), as plain
// data for the rules in DriveSafety.h.
//
// These are the kernel's own tables, kept in memory: reading them does not
// wait on any device, so the window's thread may. FileSystemOf looks at a
// user's file and may wait: worker threads only.

#include <string>

#include "platform/disks/DriveSafety.h"

namespace platform {

KernelView ReadKernelView();

// The device number ("8:17") of the file system holding `path` (its
// st_dev); empty when the file cannot be looked at.
std::string FileSystemOf(const std::string& path);

}  // namespace platform
