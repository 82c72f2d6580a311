#pragma once
// Captures what the process writes to a file descriptor (1 or 2) while it
// lives, so tests can check trace lines; at the end the text is passed on
// to the real descriptor, so test failures logged meanwhile are not lost.
// Main thread only.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace testsupport {

class CaptureFd {
  public:
    explicit CaptureFd(int fd) : m_fd(fd) {
        std::fflush(nullptr);
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
        if (m_file < 0) return m_text;
        std::fflush(nullptr);
        std::string text(static_cast<std::size_t>(lseek(m_file, 0, SEEK_END)), '\0');
        if (pread(m_file, text.data(), text.size(), 0) < 0) text.clear();
        return text;
    }

    void Restore() {
        if (m_saved < 0) return;
        m_text = Text();
        dup2(m_saved, m_fd);
        close(m_saved);
        close(m_file);
        m_saved = m_file = -1;
        if (write(m_fd, m_text.data(), m_text.size()) < 0) std::perror("capture");
    }

  private:
    int m_fd, m_file = -1, m_saved = -1;
    std::string m_text;
};

}  // namespace testsupport
