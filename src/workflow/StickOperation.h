#pragma once
// StickOperation: a confirmed operation on the selected stick, from its
// checks to the unmount's answer. It runs the checks (Preflight), waits for
// the publisher's checksum when a write needs it, then asks for the whole
// stick to be unmounted, and lets the user give up waiting for either. What
// follows the unmount (the write, the clear) belongs to the caller, which
// the unmount's plain callback reaches.
//
// Threads: the window's thread. Ownership: the controller owns the one
// StickOperation; the operation keeps its own copy of the stick's entry and
// reads the checksum it was made with while it waits for it.

#include <QObject>
#include <QString>
#include <string>

#include "StorageDeviceHandler.h"
#include "workflow/Preflight.h"

class StickOperation : public QObject {
    Q_OBJECT
  public:
    explicit StickOperation(const platform::ImageChecksum& checksum);

    // Checks `stick` (and, for a write, `image`); when they let it go,
    // unmounts the stick with `unmounted` as the completion.
    void Begin(int operation, const deviceEntryStruct& stick, const std::string& image,
               UnmountCallback unmounted);
    // The user no longer waits: a check or the checksum is dropped, and an
    // unmount's answer still to come will be ignored.
    void Abandon();
    // An unmount's answer came; false when its wait had been abandoned.
    bool UnmountAnswered();
    // What the checks that let the last operation go found.
    const PreflightFacts& Facts() const { return m_facts; }

  signals:
    // What the operation waits for, for the info line (none: the unmount);
    // the user may give up waiting.
    void waiting(const QString& text);
    // Ended before anything was unmounted: the message box, and the reason.
    void refused(const QString& message, const QString& reason);
    // The service would not take the unmount request: no answer will come.
    void unmountRefused();

  private:
    void Check();
    void Decided(const Verdict& verdict, const PreflightFacts& facts);

    const platform::ImageChecksum& m_checksum;
    PreflightRun m_run;
    PreflightFacts m_facts;
    deviceEntryStruct m_stick{};
    std::string m_image;
    UnmountCallback m_unmounted = nullptr;
    bool m_waitingForChecksum = false;
    // An unmount request is outstanding; answers still to come for requests
    // whose wait the user abandoned.
    bool m_unmountPending = false;
    int m_abandonedUnmounts = 0;
};

// The stick as the user was shown it.
StickFacts ListedStick(const deviceEntryStruct& stick);
// What the checks read, as the program reads it: the disk service's
// description of the stick and the kernel's tables (window's thread), and
// the image file (worker thread).
StickFacts StickFactsNow(const deviceEntryStruct& stick);
ImageFacts LookAtImage(const std::string& image, const std::string& bsdName, bool checked,
                       std::pair<std::int64_t, std::int64_t> checkedStamp);
