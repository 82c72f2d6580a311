#include "workflow/ClearJob.h"

#include <QMetaObject>

#include "platform/disks/DiskService.h"
#include "platform/kernel/DeviceAccess.h"
#include "window/WriteInfoText.h"

ClearJob::~ClearJob() {
    if (m_thread.joinable()) m_thread.join();
}

bool ClearJob::Start(DeviceImageWriter& writer, const std::string& bsdName) {
    if (m_running) return false;
    if (m_thread.joinable()) m_thread.join();
    m_running = true;
    // A password prompt nobody answers must not keep the window waiting.
    platform::AbandonOpens(false);
    m_thread = std::thread([this, &writer, bsdName] {
        const bool cleared = writer.ClearDevice();
        const QString reason = cleared ? QString() : FailureText(writer.Failure());
        QMetaObject::invokeMethod(
            this,
            [this, cleared, reason, bsdName] {
                m_thread.join();
                m_running = false;
                if (cleared) platform::ActiveDiskService().RescanDisk(bsdName);
                emit finished(
                    cleared,
                    cleared ? tr("Device successfully cleared!") : tr("Unable to clear device!"),
                    reason, cleared ? tr("Cleared") : reason);
            },
            Qt::QueuedConnection);
    });
    return true;
}

void ClearJob::Abandon() {
    Trace("Clear abandoned.");
    platform::AbandonOpens(true);
}
