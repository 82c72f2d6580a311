#pragma once
// Shared by the writer's tests: image making, the callbacks a job reports to
// (file-level state, the callbacks are plain functions), and waiting for a
// job's threads to end.

#include <dirent.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <QtTest>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "DeviceImageWriter.h"
#include "support/TestSupport.h"

namespace writertest {

constexpr std::size_t MiB = 1024 * 1024;

// Bytes that differ at every offset, so a misplaced or repeated chunk shows.
inline std::string Pattern(std::size_t size, std::uint64_t seed) {
    std::string bytes(size, '\0');
    std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (std::size_t i = 0; i < size; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        for (std::size_t k = 0; k < 8 && i + k < size; ++k)
            bytes[i + k] = static_cast<char>(x >> (8 * k));
    }
    return bytes;
}

// Writes `content` gzip-compressed to gzPath (with the real gzip).
inline bool MakeGzip(const std::string& gzPath, const std::string& content) {
    const std::string raw = gzPath + ".raw";
    if (!testsupport::WriteBytes(raw, content)) return false;
    const int status = testsupport::Run("gzip -1 -n -c " + testsupport::ShellQuote(raw) + " > " +
                                        testsupport::ShellQuote(gzPath));
    std::remove(raw.c_str());
    return status == 0;
}

inline bool Exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

inline int ThreadCount() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') ++count;
        closedir(dir);
    }
    return count;
}

// The job's threads end right after the completion callback; wait for that.
inline bool WaitForThreadCount(int count) {
    for (int i = 0; i < 30000; ++i) {
        if (ThreadCount() <= count) return true;
        QTest::qSleep(5);
    }
    return false;
}

// What the running job reported.
struct Reports {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<int, int>> progress;
    int completions = 0;
    bool result = false;
    // A progress call for this chunk waits until released (-1: none).
    int gateChunk = -1;
    bool atGate = false;
    bool gateOpen = false;
};

inline Reports& reports() {
    static Reports r;
    return r;
}

inline void ResetReports() {
    Reports& r = reports();
    std::lock_guard lock(r.mutex);
    r.progress.clear();
    r.completions = 0;
    r.result = false;
    r.gateChunk = -1;
    r.atGate = false;
    r.gateOpen = false;
}

inline void Finished(bool success) {
    Reports& r = reports();
    std::lock_guard lock(r.mutex);
    ++r.completions;
    r.result = success;
    r.changed.notify_all();
}

inline void Progress(std::int32_t total, std::int32_t current) {
    Reports& r = reports();
    std::unique_lock lock(r.mutex);
    r.progress.emplace_back(total, current);
    if (current == r.gateChunk) {
        r.atGate = true;
        r.changed.notify_all();
        r.changed.wait(lock, [&] { return r.gateOpen; });
    }
    r.changed.notify_all();
}

template <typename Predicate>
bool WaitFor(Predicate predicate) {
    Reports& r = reports();
    std::unique_lock lock(r.mutex);
    // Guards against a hang only; CTest's timeout is the real limit.
    return r.changed.wait_for(lock, std::chrono::minutes(20), [&] { return predicate(r); });
}

inline std::vector<std::pair<int, int>> ProgressCalls() {
    std::lock_guard lock(reports().mutex);
    return reports().progress;
}

inline int Completions() {
    std::lock_guard lock(reports().mutex);
    return reports().completions;
}

// Tells whether a file was opened, or modified, while watched.
class OpenWatch {
  public:
    explicit OpenWatch(const std::string& path) : m_fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        inotify_add_watch(m_fd, path.c_str(), IN_OPEN | IN_MODIFY);
    }
    ~OpenWatch() { close(m_fd); }
    OpenWatch(const OpenWatch&) = delete;
    OpenWatch& operator=(const OpenWatch&) = delete;
    bool Opened() { return Read() & IN_OPEN; }
    bool Modified() { return Read() & IN_MODIFY; }

  private:
    std::uint32_t Read() {
        alignas(inotify_event) char buffer[4096];
        ssize_t n;
        while ((n = read(m_fd, buffer, sizeof buffer)) > 0)
            for (ssize_t i = 0; i < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + i);
                m_seen |= event->mask;
                i += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        return m_seen;
    }
    int m_fd;
    std::uint32_t m_seen = 0;
};

struct Outcome {
    bool started = false;       // WriteImage returned true
    int completions = 0;        // completion callbacks seen
    bool result = false;        // the completion callback's argument
    bool threadsEnded = false;  // the job's threads are gone
    bool Succeeded() const { return started && completions == 1 && result && threadsEnded; }
    bool Failed() const { return started && completions == 1 && !result && threadsEnded; }
};

// Runs one job to its end: the completion callback, then its threads gone.
inline Outcome RunJob(DeviceImageWriter& writer, bool withProgress = true) {
    ResetReports();
    Outcome outcome;
    const int threadsBefore = ThreadCount();
    outcome.started = writer.WriteImage(&Finished, withProgress ? &Progress : nullptr);
    if (outcome.started) WaitFor([](Reports& r) { return r.completions > 0; });
    outcome.threadsEnded = WaitForThreadCount(threadsBefore);
    std::lock_guard lock(reports().mutex);
    outcome.completions = reports().completions;
    outcome.result = reports().result;
    return outcome;
}

// A private directory for one test, with the writer's temporary directory
// ("tmp/") inside it.
struct Workspace {
    QTemporaryDir dir{QStringLiteral("/var/tmp/writer-test-XXXXXX")};
    std::string root;
    std::string temp;
    Workspace() {
        root = dir.path().toStdString() + "/";
        temp = root + "tmp/";
        QDir().mkpath(QString::fromStdString(temp));
    }
    std::string TempImage() const { return temp + "veskImage.img"; }
};

}  // namespace writertest
