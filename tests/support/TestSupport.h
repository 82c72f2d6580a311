#pragma once
// Helpers shared by the tests: running commands, loop devices, and the rule
// that tests needing root (loop devices, the real disk service) skip with a
// reason elsewhere but must run under CI=true.

#include <QtTest>
#include <string>

namespace testsupport {

bool IsRoot();
bool IsCi();  // CI=true

// Runs a shell command line; returns its exit status (-1 if it could not
// run). Output goes to *output when given.
int Run(const std::string& command, std::string* output = nullptr);

// Quotes a string for a POSIX shell command line.
std::string ShellQuote(const std::string& text);

// Whole content of a file or device (at most maxBytes bytes).
std::string ReadBytes(const std::string& path, std::size_t maxBytes = SIZE_MAX);
bool WriteBytes(const std::string& path, const std::string& bytes);

// Writes `size` pseudo-random bytes (new ones each call; also to *rawBytes)
// gzip-compressed to dir/name. Returns that path, or "" on failure.
std::string MakeGzipImage(const std::string& dir, const std::string& name, std::size_t size,
                          std::string* rawBytes = nullptr);

// The same with any compressor that reads standard input and writes standard
// output ("xz -1", "zstd -1 -q", ...); an empty one writes the bytes as they are.
std::string MakeImage(const std::string& dir, const std::string& name, std::size_t size,
                      const std::string& compressor, std::string* rawBytes = nullptr);

// A loop device attached to a backing file, detached on destruction.
class LoopDevice {
  public:
    LoopDevice() = default;
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;
    ~LoopDevice();
    // Attaches backingFile; directIo makes the loop driver bypass the page
    // cache of the backing file, as a real stick would. Returns false (and
    // sets *why) on failure.
    bool Attach(const std::string& backingFile, bool directIo = false, std::string* why = nullptr);
    void Detach();
    const std::string& Path() const { return m_path; }  // "/dev/loopN"
    std::string BsdName() const;                        // "loopN"

  private:
    std::string m_path;
};

}  // namespace testsupport

// For tests that need root: skip with a reason, except under CI=true, where
// such a skip would hide that the test never ran.
#define REQUIRE_ROOT()                                                                    \
    do {                                                                                  \
        if (!testsupport::IsRoot()) {                                                     \
            if (testsupport::IsCi()) QFAIL("CI runs as root, but this test is not root"); \
            QSKIP("needs root (loop devices, the system's disk service)");                \
        }                                                                                 \
    } while (0)

// Skips (or fails under CI=true) when a condition needed for a real test is
// missing.
#define REQUIRE_OR_SKIP(condition, reason)          \
    do {                                            \
        if (!(condition)) {                         \
            if (testsupport::IsCi()) QFAIL(reason); \
            QSKIP(reason);                          \
        }                                           \
    } while (0)
