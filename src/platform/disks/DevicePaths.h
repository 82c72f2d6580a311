#pragma once
// The one place where device node paths are formed from a disk's BSD name
// (the kernel name without "/dev/", e.g. "sdb" or "mmcblk0").
//
// Pure functions, callable from any thread.

#include <string>

namespace platform {

// "/dev/" + name: used to unmount and to clear a disk.
std::string BlockNodePath(const std::string& bsdName);

// Linux has no separate raw node; the writer opens the block node unbuffered
// and exclusively instead, so this is the same path as BlockNodePath.
std::string RawNodePath(const std::string& bsdName);

// Partition k of a disk: "sdb" + "1", or "mmcblk0" + "p1" when the disk's
// name ends in a digit.
std::string PartitionNodePath(const std::string& bsdName, int k);

// The BSD name inside a node path: "/dev/sdb" -> "sdb". Empty when the path
// is not a node directly under /dev.
std::string BsdNameFromPath(const std::string& path);

}  // namespace platform
