#pragma once
// Captures what the process writes to a file descriptor (1 or 2) while it
// lives, so tests can check trace lines. Main thread only.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace testsupport {

class CaptureFd {
  public:
    explicit CaptureFd(int fd) : m_fd(fd) {
        std::fflush(fd == 1 ? stdout : stderr);
        char name[] = "/tmp/capture-XXXXXX";
        m_file = mkstemp(name);
        unlink(name);
        m_saved = dup(fd);
        dup2(m_file, fd);
    }
    ~CaptureFd() { Restore(); }
    CaptureFd(const CaptureFd&) = delete;
    CaptureFd& operator=(const CaptureFd&) = delete;

    // Everything written so far.
    std::string Text() {
        if (m_file < 0) return m_restoredText;
        std::fflush(m_fd == 1 ? stdout : stderr);
        std::string text;
        char buffer[4096];
        ssize_t n;
        off_t offset = 0;
        while ((n = pread(m_file, buffer, sizeof buffer, offset)) > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
            offset += n;
        }
        return text;
    }

    void Restore() {
        if (m_saved < 0) return;
        std::fflush(m_fd == 1 ? stdout : stderr);
        dup2(m_saved, m_fd);
        close(m_saved);
        m_saved = -1;
        m_restoredText = Text();
        close(m_file);
        m_file = -1;
    }

  private:
    int m_fd;
    int m_file = -1;
    int m_saved = -1;
    std::string m_restoredText;
};

}  // namespace testsupport
