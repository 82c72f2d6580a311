#include "writer/CapacityProbe.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <map>
#include <random>

#include "writer/BufferQueue.h"

namespace {

constexpr std::int64_t kMiB = 1 << 20;
constexpr int kGridSteps = 32;
constexpr int kRefinementSteps = 16;
constexpr int kMaxRounds = 4;
constexpr char kMagic[8] = {'C', 'A', 'P', 'P', 'R', 'O', 'B', 'E'};

std::uint64_t Mix(std::uint64_t x) {  // splitmix64's finaliser
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// The magic, the round's value, the offset, then a pattern of both: a block
// that only this round could have written at that offset.
void FillMarker(char* block, int bytes, std::uint64_t nonce, std::int64_t offset) {
    std::memcpy(block, kMagic, 8);
    std::memcpy(block + 8, &nonce, 8);
    std::memcpy(block + 16, &offset, 8);
    std::uint64_t state = nonce ^ Mix(static_cast<std::uint64_t>(offset));
    for (int i = 24; i + 8 <= bytes; i += 8) {
        const std::uint64_t word = Mix(state += 0x9E3779B97F4A7C15ULL);
        std::memcpy(block + i, &word, 8);
    }
}

// Whose marker the block is, or kNoMarker.
std::int64_t ReadMarker(const char* block, char* scratch, int bytes, std::uint64_t nonce) {
    std::int64_t offset = 0;
    std::memcpy(&offset, block + 16, 8);
    if (std::memcmp(block, kMagic, 8) != 0 || std::memcmp(block + 8, &nonce, 8) != 0)
        return kNoMarker;
    FillMarker(scratch, bytes, nonce, offset);
    return std::memcmp(block, scratch, static_cast<std::size_t>(bytes)) == 0 ? offset : kNoMarker;
}

// 0, or the errno of a read or write that did not move every byte.
int ReadAt(int fd, char* data, std::int64_t size, std::int64_t offset) {
    errno = 0;
    if (platform::ReadFullAt(fd, data, static_cast<std::size_t>(size), offset) == size) return 0;
    return errno ? errno : EIO;
}

int WriteAt(int fd, const char* data, std::int64_t size, std::int64_t offset) {
    for (std::int64_t done = 0; done < size;) {
        const ssize_t n = pwrite(fd, data + done, static_cast<std::size_t>(size - done),
                                 static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return ENOSPC;
        done += n;
    }
    return 0;
}

int Flush(int fd) {
    errno = 0;
    return platform::FlushDevice(fd) ? 0 : (errno ? errno : EIO);
}

bool Overlaps(std::int64_t offset, std::int64_t bytes, const CapacityPlan& plan) {
    return offset < plan.evictOffset + plan.evictBytes && plan.evictOffset < offset + bytes;
}

// The lowest offset seen at or beyond `from`: with the judge's bound, the
// first bad marker.
std::int64_t FirstAtOrAfter(const std::vector<MarkerSeen>& seen, std::int64_t from) {
    std::int64_t first = INT64_MAX;
    for (const MarkerSeen& s : seen)
        if (s.offset >= from) first = std::min(first, s.offset);
    return first;
}

// One round: writes the plan's markers, evicts, reads them back into *seen,
// restores. false when it failed or was cancelled (*verdict says which).
bool RunRound(const platform::OpenedDevice& device, const CapacityPlan& plan,
              const std::atomic<bool>& cancel, std::vector<MarkerSeen>* seen,
              CapacityVerdict* verdict) {
    const int fd = device.fd, b = plan.blockBytes;
    const std::size_t n = plan.offsets.size();
    AlignedBuffer old = AllocateAligned(n * b, b), block = AllocateAligned(b, b),
                  scratch = AllocateAligned(b, b),
                  evict = AllocateAligned(std::max<std::int64_t>(plan.evictBytes, b), b);
    if (!old || !block || !scratch || !evict) {
        verdict->error = ENOMEM;
        return false;
    }
    const std::uint64_t nonce =
        (std::uint64_t{std::random_device{}()} << 32) ^ std::random_device{}();
    int error = 0;
    bool cancelled = false;
    auto go = [&] {
        cancelled = cancelled || cancel.load();
        return error == 0 && !cancelled;
    };

    std::size_t written = 0;  // blocks that may have changed, in the order written
    for (; written < n && go(); ++written) {
        const std::int64_t offset = plan.offsets[written];
        if ((error = ReadAt(fd, old.get() + written * b, b, offset))) break;
        FillMarker(block.get(), b, nonce, offset);
        error = WriteAt(fd, block.get(), b, offset);
    }
    if (go()) error = Flush(fd);
    // The cache region is written back as it was read: nothing to restore.
    if (go() && plan.evictBytes > 0 &&
        !(error = ReadAt(fd, evict.get(), plan.evictBytes, plan.evictOffset)) &&
        !(error = WriteAt(fd, evict.get(), plan.evictBytes, plan.evictOffset)))
        error = Flush(fd);
    // Without direct I/O the reads must not come from the page cache.
    if (go() && !device.direct) posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    for (std::size_t i = 0; i < n && go(); ++i) {
        if (!(error = ReadAt(fd, block.get(), b, plan.offsets[i])))
            seen->push_back({plan.offsets[i], ReadMarker(block.get(), scratch.get(), b, nonce)});
    }
    // Undone in reverse, so that blocks that share a place in the flash end
    // with what the first write found there.
    int restoreError = 0;
    for (std::size_t i = written; i-- > 0;)
        if (const int e = WriteAt(fd, old.get() + i * b, b, plan.offsets[i])) restoreError = e;
    if (written > 0 && !restoreError) restoreError = Flush(fd);
    verdict->restored = verdict->restored && restoreError == 0;
    if (!error) error = restoreError;
    if (error == 0 && !cancelled) return true;
    verdict->kind = error ? CapacityKind::Failed : CapacityKind::Cancelled;
    verdict->error = error;
    return false;
}

}  // namespace

CapacityPlan PlanCapacityProbe(std::int64_t claimedBytes, int sectorBytes,
                               std::int64_t evictBytes) {
    CapacityPlan plan;
    plan.claimedBytes = claimedBytes;
    plan.blockBytes = std::max(4096, sectorBytes);
    const std::int64_t b = plan.blockBytes, last = claimedBytes / b * b - b;
    plan.evictOffset = kCapacityEvictOffset;
    plan.evictBytes = std::clamp(last - kCapacityEvictOffset, std::int64_t{0}, evictBytes);
    if (last < 0) return plan;

    // The powers of two from just past the eviction region, then a grid of at
    // most 32 steps of a power of two.
    const auto ladder = static_cast<std::int64_t>(
        std::bit_ceil(static_cast<std::uint64_t>(plan.evictOffset + evictBytes)));
    const std::int64_t grid = std::max<std::int64_t>(
        ladder, static_cast<std::int64_t>(std::bit_ceil(
                    static_cast<std::uint64_t>((claimedBytes + kGridSteps - 1) / kGridSteps))));
    std::vector<std::int64_t> offsets = {0, last};
    for (std::int64_t p = ladder; p < grid; p *= 2) offsets.push_back(p);
    for (std::int64_t p = grid; p < last; p += grid) offsets.push_back(p);
    for (std::int64_t p : offsets)
        if (p <= last && !Overlaps(p, b, plan)) plan.offsets.push_back(p);
    std::sort(plan.offsets.begin(), plan.offsets.end());
    plan.offsets.erase(std::unique(plan.offsets.begin(), plan.offsets.end()), plan.offsets.end());
    return plan;
}

CapacityVerdict JudgeCapacity(std::int64_t claimedBytes, int blockBytes,
                              const std::vector<MarkerSeen>& seen) {
    // Offsets that share a place in the flash, joined under their lowest.
    std::map<std::int64_t, std::int64_t> lowest;
    auto find = [&](std::int64_t x) {
        while (lowest.try_emplace(x, x).first->second != x) x = lowest[x];
        return x;
    };
    std::vector<std::int64_t> bad;
    bool wraps = false;
    for (const MarkerSeen& s : seen) {
        if (s.cameFrom == kNoMarker) {
            bad.push_back(s.offset);
        } else if (s.cameFrom != s.offset) {
            const std::int64_t a = find(s.offset), c = find(s.cameFrom);
            lowest[std::max(a, c)] = std::min(a, c);
            wraps = true;
        }
    }
    for (const auto& [offset, root] : lowest)
        if (offset != root) bad.push_back(offset);

    CapacityVerdict verdict;
    verdict.claimedBytes = claimedBytes;
    if (bad.empty()) {
        verdict.kind = CapacityKind::Genuine;
        verdict.realBytes = claimedBytes;
        return verdict;
    }
    verdict.kind = wraps ? CapacityKind::Wraps : CapacityKind::Drops;
    const std::int64_t firstBad = *std::min_element(bad.begin(), bad.end());
    verdict.realBytes = 0;
    for (const MarkerSeen& s : seen)
        if (s.offset < firstBad)
            verdict.realBytes = std::max(verdict.realBytes, s.offset + blockBytes);
    return verdict;
}

CapacityPlan PlanCapacityRefinement(const CapacityPlan& first,
                                    const std::vector<MarkerSeen>& seen) {
    CapacityPlan plan = first;
    plan.offsets.clear();
    const CapacityVerdict verdict = JudgeCapacity(first.claimedBytes, first.blockBytes, seen);
    if (verdict.kind != CapacityKind::Drops) return plan;
    const std::int64_t b = first.blockBytes, good = verdict.realBytes,
                       bad = FirstAtOrAfter(seen, good);
    if (bad - good <= std::max(kMiB, first.claimedBytes / 4096)) return plan;
    for (int i = 1; i < kRefinementSteps; ++i) {
        const std::int64_t p = (good + (bad - good) * i / kRefinementSteps) / b * b;
        if (p >= good && p + b <= bad && !Overlaps(p, b, plan) &&
            (plan.offsets.empty() || plan.offsets.back() != p))
            plan.offsets.push_back(p);
    }
    return plan;
}

CapacityVerdict RunCapacityProbe(const platform::OpenedDevice& device,
                                 const std::atomic<bool>& cancel, std::int64_t evictBytes) {
    CapacityVerdict verdict;
    verdict.claimedBytes = device.size;
    if (device.fd < 0 || device.size <= 0) {
        verdict.error = EINVAL;
        return verdict;
    }
    CapacityPlan plan = PlanCapacityProbe(device.size, device.logicalBlockSize, evictBytes);
    std::vector<MarkerSeen> seen;
    for (int round = 0; round < kMaxRounds && !plan.offsets.empty(); ++round) {
        if (!RunRound(device, plan, cancel, &seen, &verdict)) return verdict;
        plan = PlanCapacityRefinement(plan, seen);
    }
    const bool restored = verdict.restored;
    verdict = JudgeCapacity(device.size, plan.blockBytes, seen);
    verdict.restored = restored;
    return verdict;
}
