#pragma once
// ClearJob: the clear of a stick, once it is unmounted, on a thread of its
// own: opening the device may wait on a password prompt (UDisks2 and
// polkit), and the window must stay alive meanwhile. The user may give up
// that wait. The outcome comes back on the window's thread, with the reason
// of a failure in a sentence; a cleared stick is read again by the disk
// service, so the desktop sees it empty at once.
//
// Threads: made, started and destroyed on the window's thread; the clear
// runs on the job's thread. Ownership: the controller owns the writer and the
// ClearJob, which only points at the writer it was started with; destroying
// the job waits for its thread.

#include <QCoreApplication>
#include <thread>

#include "DeviceImageWriter.h"
#include "workflow/StickJob.h"

class ClearJob : public StickJob {
    Q_DECLARE_TR_FUNCTIONS(ClearJob)
  public:
    ClearJob() = default;
    ~ClearJob() override;
    ClearJob(const ClearJob&) = delete;
    ClearJob& operator=(const ClearJob&) = delete;

    // Clears `writer`'s device, the disk `bsdName`; false when a clear still
    // runs.
    bool Start(DeviceImageWriter& writer, const std::string& bsdName);
    void Abandon() override;

  private:
    std::thread m_thread;
};
