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
// `partitioned`: they start with a DOS partition table (one partition at
// sector 2048), as disk images do, so blkid tells whether a stick holds the
// image's first sector. Returns that path, or "" on failure.
std::string MakeImage(const std::string& dir, const std::string& name, std::size_t size,
                      const std::string& compressor = "gzip -1 -n", std::string* rawBytes = nullptr,
                      bool partitioned = false);

// Captures what the process writes to file descriptor 1 or 2 while it lives;
// at the end the text goes on to the real descriptor, so that test failures
// logged meanwhile are not lost. Main thread only.
class CaptureFd {
  public:
    explicit CaptureFd(int fd);
    ~CaptureFd() { Restore(); }
    CaptureFd(const CaptureFd&) = delete;
    CaptureFd& operator=(const CaptureFd&) = delete;
    std::string Text();  // everything written so far
    void Restore();

  private:
    int m_fd, m_file = -1, m_saved = -1;
    std::string m_text;
};

// A loop device attached to a backing file, detached on destruction.
class LoopDevice {
  public:
    LoopDevice() = default;
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;
    ~LoopDevice() { Detach(); }
    // options: losetup's, e.g. "--direct-io=on" (the loop driver bypasses the
    // backing file's page cache, as a real stick would), "-r". false (and
    // *why) on failure.
    bool Attach(const std::string& backingFile, const std::string& options = "",
                std::string* why = nullptr);
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
