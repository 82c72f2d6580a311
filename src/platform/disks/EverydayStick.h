#pragma once
// The rules for turning a stick back into an everyday stick: one partition
// in an MBR table with a file system every desktop reads, made by the disk
// service (DiskService::MakeEverydayStick). Which file system, how large,
// and what label it may carry.
//
// Pure functions over plain data; the label is checked before anything is
// touched. A label FAT cannot hold is refused, not changed behind the user's
// back: only its lower-case letters become capitals, which the label shown
// from the plan makes visible.
//
// Threads: any; nothing here has state.

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

enum class StickFileSystem { Fat32, Exfat };

// FAT32 holds up to 32 GiB here (what Windows formats as FAT32); above that, exFAT.
inline constexpr std::uint64_t kLargestFat32Bytes = std::uint64_t(32) << 30;
inline constexpr char kDefaultStickLabel[] = "USB STICK";

// Why a plan cannot be carried out.
enum class PlanProblem {
    None,
    LabelTooLong,      // FAT: over 11 bytes; exFAT: over 11 UTF-16 units
    LabelUnsupported,  // a character the file system cannot hold (FAT: plain ASCII only, none
                       // of *?.,;:/\|+=<>[]"; both: no control character, valid UTF-8)
    TooSmall,          // the usable part holds no partition (under 2 MiB)
};

// What the disk service is asked to make.
struct EverydayStick {
    StickFileSystem fileSystem = StickFileSystem::Fat32;
    std::string label = kDefaultStickLabel;   // as it goes onto the stick
    std::uint64_t size = 0;                   // of the partition in bytes; 0: the whole stick
    PlanProblem problem = PlanProblem::None;  // when not None, nothing may be made
};

// The file system for a partition of `bytes`.
StickFileSystem FileSystemFor(std::uint64_t bytes);

// The plan for a stick of `stickBytes` of which only `usableBytes` hold data
// (a fake stick's real size; 0 or the whole size for an honest stick), with
// the label the user asked for (blank: kDefaultStickLabel). The partition
// starts at 1 MiB, as the disk service aligns it, so on a fake stick it ends
// within the usable part, on a MiB boundary.
EverydayStick PlanEverydayStick(std::uint64_t stickBytes, std::uint64_t usableBytes,
                                std::string_view label);

}  // namespace platform
