#pragma once
// Keeps the machine from suspending while a write, its verification or a
// clear runs: a logind inhibitor lock ("sleep", blocking), held as the
// descriptor logind hands out and released by closing it.
//
// Threads: the window's thread. The request is asynchronous: without
// logind (no system bus, no service) nothing changes and nobody waits.
// Ownership: the object owns the descriptor while it holds the lock.

#include <QObject>

namespace platform {

class SleepInhibitor : public QObject {
    Q_OBJECT
  public:
    SleepInhibitor() = default;
    ~SleepInhibitor() override { Release(); }
    SleepInhibitor(const SleepInhibitor&) = delete;
    SleepInhibitor& operator=(const SleepInhibitor&) = delete;

    // Asks for the lock; a second call while held or asked does nothing.
    void Hold();
    // Drops the lock now, or as soon as a pending answer brings it.
    void Release();
    bool Held() const { return m_fd >= 0; }

  private:
    int m_fd = -1;
    bool m_wanted = false;
    bool m_asked = false;
};

}  // namespace platform
