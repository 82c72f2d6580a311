#pragma once
// FakeStick: a USB stick that lies or fails, for tests that need one: the
// fake_stick.py file system (see its header for the modes) mounted in a
// directory of its own, with a loop device over its one file. The store
// (StorePath) is the stick's flash: fill it, or compare it, directly.
//
// Loop devices over the FUSE file take direct I/O (--direct-io=on, the
// default here: the loop driver then reads and writes the file unbuffered, as
// the writer does a stick) and 512- or 4096-byte sectors (--sector-size 4096);
// both also work buffered, since the fake is mounted with direct_io.
//
// Threads: the test's thread. Owns the mount, its process, the loop device and
// the directory; Stop (also run by the destructor, so a failed test cleans
// up) releases a stall, detaches the loop device, unmounts and removes them.

#include <cstdint>
#include <string>

#include "support/TestSupport.h"

namespace testsupport {

class FakeStick {
  public:
    struct Options {
        std::int64_t claimedBytes = 0;
        std::int64_t realBytes = 0;    // the store's size; 0: the claimed size
        std::string mode = "genuine";  // genuine, wrap, drop, frozen
        std::int64_t eioAt = -1;       // -1: never
        std::int64_t stallAt = -1;     // -1: never
        int latencyMs = 0;             // per random write
        std::int64_t cacheBytes = 0;   // the controller's write cache
        std::string loopOptions = "--direct-io=on";
        std::int64_t failAfter = -1;  // bytes written before it dies; -1: never
        std::int64_t flipAt = -1;     // the byte read back wrong; -1: none
    };
    FakeStick() = default;
    FakeStick(const FakeStick&) = delete;
    FakeStick& operator=(const FakeStick&) = delete;
    ~FakeStick() { Stop(); }

    // Mounts and attaches the loop device; false (and *why) on failure.
    bool Start(const Options& options, std::string* why = nullptr);
    // Whether a write stalled within `ms` milliseconds.
    bool WaitStalled(int ms = 10000) const;
    // Lets a stalled write, and all that follow, go on.
    void Release();
    void Stop();

    const std::string& Device() const { return m_loop.Path(); }
    std::string StorePath() const { return m_dir + "/store"; }

  private:
    std::string m_dir;
    pid_t m_pid = -1;
    LoopDevice m_loop;
};

}  // namespace testsupport
