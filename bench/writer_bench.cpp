// writer_bench [--verify] [--no-map] [--no-probe] IMAGE DEVICE TEMPDIR/
// writer_bench --stream-command IMAGE
// writer_bench --probe DEVICE [EVICT_BYTES]
//
// The second form prints the decompressor that the writer streams IMAGE
// through, one argument a line (nothing when it is not streamed by format).
// The third opens DEVICE as the writer does and runs the capacity probe on
// it (EVICT_BYTES: the cache eviction's size, 0 for none), and prints on
// standard output
//   seconds=S verdict=genuine|wraps|drops|failed|cancelled real_bytes=N
//   claimed_bytes=N restored=0|1 error=ERRNO
//
// Runs one write job with DeviceImageWriter (--verify: with the read-back
// verification on; --no-map: the whole image even with a block map beside
// it; --no-probe: without the capacity probe) and prints, on one line of standard error, what the
// job cost:
//   seconds            WriteImage to the completion callback
//   dirty_rise_kib     highest "Dirty:" of /proc/meminfo during the copy and
//                      verify stage (trace line "WriteImageThread running!"
//                      to the completion callback) minus its value when it
//                      began
//   peak_rss_kib       the process's peak resident set
//   child_rss_kib      the peak resident set of its largest child (the
//                      decompressor, or the shell's gunzip), reaped by then
//   temp_peak_kib      the largest size of TEMPDIR/veskImage.img seen during
//                      the job (sampled every 20 ms)
//   tail_ms            last progress call to the completion callback
//   result             the job's result (1 = success)
//   image_bytes        the bytes the job wrote (ImageBytes: with a map, the
//                      mapped bytes)
//   map                used, none, or ignored (the reason then goes to
//                      standard error on a line of its own)
// The writer's trace lines pass through to standard output.
//
// It builds the writer's sources directly, with Qt Core alone (the block
// map's XML), so the resident set is the writer's own.

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "DeviceImageWriter.h"
#include "writer/CapacityProbe.h"

namespace {

using Clock = std::chrono::steady_clock;

std::mutex g_mutex;
std::condition_variable g_done;
bool g_finished = false;
bool g_result = false;
Clock::time_point g_finishedAt;
std::atomic<long long> g_lastProgressNs{0};
std::atomic<bool> g_copyStage{false};

long long NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

long DirtyKib() {
    FILE* meminfo = std::fopen("/proc/meminfo", "r");
    if (!meminfo) return -1;
    char line[256];
    long value = -1;
    while (std::fgets(line, sizeof line, meminfo))
        if (std::sscanf(line, "Dirty: %ld kB", &value) == 1) break;
    std::fclose(meminfo);
    return value;
}

void Finished(bool success) {
    std::lock_guard lock(g_mutex);
    g_finished = true;
    g_result = success;
    g_finishedAt = Clock::now();
    g_done.notify_all();
}

void Progress(std::int32_t, std::int32_t) {
    g_lastProgressNs = NowNs();
}

int Probe(const char* path, std::int64_t evictBytes) {
    const platform::OpenedDevice device = platform::OpenDeviceForWriting(path, true, true);
    if (device.fd < 0) {
        std::fprintf(stderr, "cannot open %s: %s\n", path, std::strerror(device.error));
        return 1;
    }
    const Clock::time_point start = Clock::now();
    const CapacityVerdict verdict = RunCapacityProbe(device, g_cancelThread, evictBytes);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    close(device.fd);
    const char* kinds[] = {"genuine", "wraps", "drops", "failed", "cancelled"};
    std::printf(
        "seconds=%.3f verdict=%s real_bytes=%lld claimed_bytes=%lld restored=%d error=%d\n",
        seconds, kinds[static_cast<int>(verdict.kind)], static_cast<long long>(verdict.realBytes),
        static_cast<long long>(verdict.claimedBytes), verdict.restored ? 1 : 0, verdict.error);
    return verdict.kind == CapacityKind::Failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    const char* program = argv[0];
    if (argc == 3 && std::strcmp(argv[1], "--stream-command") == 0) {
        ImageFormat format = ImageFormat::Damaged;
        if (!InspectImage(argv[2], &format, nullptr)) return 1;
        for (const std::string& arg : StreamArguments(format, argv[2])) std::puts(arg.c_str());
        return 0;
    }
    if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "--probe") == 0)
        return Probe(argv[2], argc == 4 ? std::atoll(argv[3]) : kCapacityEvictBytes);
    bool verify = false, useMap = true, probe = true;
    for (; argc > 1 && std::strncmp(argv[1], "--", 2) == 0; --argc, ++argv) {
        verify = verify || std::strcmp(argv[1], "--verify") == 0;
        useMap = useMap && std::strcmp(argv[1], "--no-map") != 0;
        probe = probe && std::strcmp(argv[1], "--no-probe") != 0;
    }
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s [--verify] [--no-map] [--no-probe] IMAGE DEVICE TEMPDIR/\n",
                     program);
        return 2;
    }

    // Standard output goes through a pipe that this program reads, so the
    // trace line that opens the copy stage is seen the moment it is written.
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return 1;
    std::fflush(stdout);
    const int realStdout = dup(1);
    dup2(pipeFds[1], 1);
    close(pipeFds[1]);

    long dirtyAtStart = -1;
    std::atomic<long> dirtyPeak{-1};
    const std::string tempImage = std::string(argv[3]) + kTempImageName;
    long long tempPeak = 0;
    std::thread monitor([&] {
        FILE* in = fdopen(pipeFds[0], "r");
        char line[256];
        while (in && std::fgets(line, sizeof line, in)) {
            if (std::strcmp(line, "WriteImageThread running!\n") == 0) {
                dirtyAtStart = DirtyKib();
                dirtyPeak = dirtyAtStart;
                g_copyStage = true;
            }
            if (write(realStdout, line, std::strlen(line)) < 0) break;
        }
        if (in) std::fclose(in);
    });
    std::thread sampler([&] {
        for (;;) {
            {
                std::unique_lock lock(g_mutex);
                if (g_done.wait_for(lock, std::chrono::milliseconds(20), [] { return g_finished; }))
                    break;
            }
            struct stat st;
            if (stat(tempImage.c_str(), &st) == 0)
                tempPeak = std::max<long long>(tempPeak, st.st_size);
            if (!g_copyStage) continue;
            const long dirty = DirtyKib();
            long peak = dirtyPeak.load();
            while (dirty > peak && !dirtyPeak.compare_exchange_weak(peak, dirty)) {
            }
        }
    });

    DeviceImageWriter writer;
    writer.SetTempDirectory(argv[3]);
    writer.SetImageFile(argv[1]);
    writer.SetDevice(argv[2]);
    writer.SetVerify(verify);
    writer.SetUseBlockMap(useMap);
    writer.SetCapacityProbe(probe);
    const Clock::time_point start = Clock::now();
    const bool started = writer.WriteImage(&Finished, &Progress);
    if (started) {
        std::unique_lock lock(g_mutex);
        g_done.wait(lock, [] { return g_finished; });
    } else {
        Finished(false);
    }
    sampler.join();
    // The write thread prints its last line after the callback.
    usleep(200 * 1000);
    std::fflush(stdout);
    dup2(realStdout, 1);
    monitor.join();

    struct rusage usage {
    }, children{};
    getrusage(RUSAGE_SELF, &usage);
    getrusage(RUSAGE_CHILDREN, &children);
    const double seconds = std::chrono::duration<double>(g_finishedAt - start).count();
    const long long finishedNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(g_finishedAt.time_since_epoch())
            .count();
    const long long tailNs = g_lastProgressNs ? finishedNs - g_lastProgressNs : -1;
    const BlockMapInfo& map = writer.JobBlockMap();
    if (!map.path.empty() && !map.Usable())
        std::fprintf(stderr, "block map ignored: %s\n", map.problem.c_str());
    std::fprintf(stderr,
                 "seconds=%.3f dirty_rise_kib=%ld peak_rss_kib=%ld child_rss_kib=%ld "
                 "temp_peak_kib=%lld tail_ms=%.1f result=%d image_bytes=%lld map=%s\n",
                 seconds, dirtyAtStart >= 0 ? dirtyPeak - dirtyAtStart : -1, usage.ru_maxrss,
                 children.ru_maxrss, tempPeak / 1024, tailNs >= 0 ? tailNs / 1e6 : -1.0,
                 started && g_result ? 1 : 0, static_cast<long long>(writer.ImageBytes()),
                 map.Usable()       ? "used"
                 : map.path.empty() ? "none"
                                    : "ignored");
    return started && g_result ? 0 : 1;
}
