#pragma once
// CapacityProbe: finds out whether a stick holds what it claims, before an
// image is written onto it. Counterfeit sticks claim more than their flash
// holds; beyond the real size their writes wrap around onto the start, or
// vanish.
//
// One block-sized marker (this run's random value, its own offset, and a
// pattern made of both) goes to each of a few dozen offsets across the whole
// claimed size: the start, the powers of two (a stick that wraps at a power
// of two, as counterfeits do, folds these onto the start), a grid of at most
// 32 steps, and the last block. Each block is read before it is written.
// After a flush, a region near the start is read and written back unchanged,
// which pushes the markers out of a small write cache in the stick's
// controller; otherwise a stick that loses writes would serve them from that
// cache and look genuine. Then every marker is read back (direct I/O), and
// every block touched gets its old bytes back, in the reverse order of the
// writes, also when the probe fails or is cancelled. When writes vanish, more
// rounds between the last good and the first bad marker narrow the bound.
//
// The planner and the judge are pure functions over plain data; the runner
// does the I/O. Threads: RunCapacityProbe blocks (a stick that stops
// answering blocks it for good) and belongs on the write job's thread, the
// rest anywhere. The caller owns the device; cancellation is looked at
// between blocks.

#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/kernel/DeviceAccess.h"

// The region rewritten to evict the stick's write cache: 4 MiB from 4 MiB on.
inline constexpr std::int64_t kCapacityEvictOffset = 4 << 20;
inline constexpr std::int64_t kCapacityEvictBytes = 4 << 20;
// What a marker's read showed: no marker of this round.
inline constexpr std::int64_t kNoMarker = -1;

struct CapacityPlan {
    std::int64_t claimedBytes = 0;
    int blockBytes = 4096;              // one marker; a whole number of sectors
    std::vector<std::int64_t> offsets;  // ascending, block-aligned, written in this order
    std::int64_t evictOffset = 0;       // rewritten unchanged between writing and reading
    std::int64_t evictBytes = 0;
};

struct MarkerSeen {
    std::int64_t offset;    // where the marker was written and read
    std::int64_t cameFrom;  // whose marker the read gave, or kNoMarker
};

enum class CapacityKind { Genuine, Wraps, Drops, Failed, Cancelled };

struct CapacityVerdict {
    CapacityKind kind = CapacityKind::Failed;
    // Genuine: the claimed size. Wraps, Drops: the bytes from the start that
    // were seen to keep what was written (an image of at most this many bytes
    // fits). Failed, Cancelled: -1.
    std::int64_t realBytes = -1;
    std::int64_t claimedBytes = 0;
    bool restored = true;  // every block the probe wrote holds its old bytes again
    int error = 0;         // errno of a failed read, write or flush
};

// The first round for a device of `claimedBytes` with `sectorBytes` sectors.
// Markers stay clear of the eviction region; evictBytes 0 evicts nothing.
CapacityPlan PlanCapacityProbe(std::int64_t claimedBytes, int sectorBytes,
                               std::int64_t evictBytes = kCapacityEvictBytes);

// The verdict on every marker seen so far (all rounds). Two offsets whose
// reads gave the same marker share one place in the flash, so all but the
// lowest of them lie beyond the real size (wraps); a marker that did not come
// back lies beyond it too (drops).
CapacityVerdict JudgeCapacity(std::int64_t claimedBytes, int blockBytes,
                              const std::vector<MarkerSeen>& seen);

// The next round after `first` and what was seen: up to 15 offsets between
// the last good and the first bad marker, when writes vanish there and the
// gap is wider than a 4096th of the claimed size (and 1 MiB). No offsets:
// nothing more to learn. A stick that wraps is not narrowed: a marker between
// would fold onto a place that holds no marker, and look good.
CapacityPlan PlanCapacityRefinement(const CapacityPlan& first, const std::vector<MarkerSeen>& seen);

// Probes an opened device (read and write; direct I/O when it was opened
// so). Rounds until the bound is known; at most four.
CapacityVerdict RunCapacityProbe(const platform::OpenedDevice& device,
                                 const std::atomic<bool>& cancel,
                                 std::int64_t evictBytes = kCapacityEvictBytes);
