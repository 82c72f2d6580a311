#pragma once
// Helpers shared by the tests: commands, files, gzip images, loop devices,
// and the rule that tests needing root (loop devices, the real disk service)
// skip with a reason elsewhere but must run under CI=true.

#include <unistd.h>

#include <QtTest>
#include <string>

namespace testsupport {

// Runs a shell command line; returns its exit status (-1 if it could not
// run). Its standard output goes to *output when given.
int Run(const std::string& command, std::string* output = nullptr);

// Whole content of a file or device (at most maxBytes bytes).
std::string ReadBytes(const std::string& path, std::size_t maxBytes = SIZE_MAX);
bool WriteBytes(const std::string& path, const std::string& bytes);

// Writes `size` pseudo-random bytes (new ones each call; also to *rawBytes)
// to dir/name through a compressor that reads standard input and writes
// standard output ("gzip -1 -n", "xz -1", ...; "": the bytes as they are).
// Returns that path, or "" on failure.
std::string MakeImage(const std::string& dir, const std::string& name, std::size_t size,
                      const std::string& compressor = "gzip -1 -n",
                      std::string* rawBytes = nullptr);

// A loop device attached to a backing file, detached on destruction.
class LoopDevice {
  public:
    LoopDevice() = default;
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;
    ~LoopDevice() { Detach(); }
    // directIo: the loop driver bypasses the backing file's page cache, as a
    // real stick would. false (and *why) on failure.
    bool Attach(const std::string& backingFile, bool directIo = false, std::string* why = nullptr);
    void Detach();
    const std::string& Path() const { return m_path; }                          // "/dev/loopN"
    std::string BsdName() const { return m_path.substr(m_path.find("loop")); }  // "loopN"

  private:
    std::string m_path;
};

}  // namespace testsupport

// For tests that need root: skip with a reason, except under CI=true, where
// such a skip would hide that the test never ran.
#define REQUIRE_ROOT()                                                                    \
    do {                                                                                  \
        if (geteuid() != 0) {                                                             \
            if (qEnvironmentVariable("CI") == "true") QFAIL("CI runs as root, this not"); \
            QSKIP("needs root (loop devices, the system's disk service)");                \
        }                                                                                 \
    } while (0)
