#pragma once
// FormatJob: a stick made an everyday stick again, once it is unmounted:
// first the capacity probe (a counterfeit stick gets one partition no larger
// than the flash it really has), on a thread of its own since opening the
// device may wait on a password prompt; then the disk service makes the MBR
// table and the one FAT32 or exFAT partition with the user's label. The
// outcome comes back on the window's thread: the sentence for the message
// box, and a note below it (a counterfeit stick's real size), or why it
// failed.
//
// Threads: made, started and destroyed on the window's thread. Ownership:
// the controller owns it; destroying it waits for its thread.

#include <QString>
#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "platform/disks/EverydayStick.h"
#include "workflow/StickJob.h"

class QWidget;

class FormatJob : public StickJob {
  public:
    FormatJob() = default;
    ~FormatJob() override;
    FormatJob(const FormatJob&) = delete;
    FormatJob& operator=(const FormatJob&) = delete;

    // Asks on `window` for the name of a stick of `stickBytes`; `planned`
    // gets the plan for a name that can be used, the user is told why
    // another cannot.
    static void AskName(QWidget* window, std::uint64_t stickBytes,
                        std::function<void(const platform::EverydayStick&)> planned);
    // What the confirmation says will be made.
    static QString Describe(const platform::EverydayStick& plan);

    // Makes `bsdName` (of `stickBytes`) an everyday stick labelled as the
    // user asked; false when a job still runs.
    bool Start(const std::string& bsdName, std::uint64_t stickBytes, const std::string& label);
    // Gives up a password prompt or the probe; nothing more is changed.
    void Abandon() override;

  private:
    void Probed(std::int64_t realBytes, const QString& failure);

    std::thread m_thread;
    std::atomic<bool> m_cancel{false};
    bool m_asking = false;      // the disk service makes the table and file system
    unsigned m_generation = 0;  // of the service's answer that is waited for
    std::string m_bsdName, m_label;
    std::uint64_t m_stickBytes = 0;
};
