#include "workflow/FormatJob.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>

#include "platform/disks/DevicePaths.h"
#include "platform/disks/DiskService.h"
#include "window/Alerts.h"
#include "window/WriteInfoText.h"
#include "writer/CapacityProbe.h"

using platform::EverydayStick;
using platform::PlanProblem;
using platform::StickFileSystem;

namespace {

class Texts {
    Q_DECLARE_TR_FUNCTIONS(FormatJob)
  public:
    static QString Name(StickFileSystem fs) {
        return fs == StickFileSystem::Fat32 ? QStringLiteral("FAT32") : QStringLiteral("exFAT");
    }
};

}  // namespace

FormatJob::~FormatJob() {
    m_cancel = true;
    if (m_thread.joinable()) m_thread.join();
}

QString FormatJob::Describe(const EverydayStick& plan) {
    return Texts::tr("The stick gets a new partition table with one %1 partition named “%2”.")
        .arg(Texts::Name(plan.fileSystem), QString::fromStdString(plan.label));
}

namespace {

// Why a name or a stick cannot be used, before anything is touched.
QString ProblemText(const EverydayStick& plan) {
    switch (plan.problem) {
        case PlanProblem::LabelTooLong:
            return Texts::tr("The name “%1” is too long: %2 holds at most 11 characters.")
                .arg(QString::fromStdString(plan.label), Texts::Name(plan.fileSystem));
        case PlanProblem::LabelUnsupported:
            return Texts::tr(
                       "The name “%1” holds characters %2 cannot keep: use letters, digits, "
                       "blanks and - _ ! # $ % & ' ( ) @ ^ ` { } ~.")
                .arg(QString::fromStdString(plan.label), Texts::Name(plan.fileSystem));
        case PlanProblem::TooSmall:
            return Texts::tr("The stick holds too little to make a partition on.");
        case PlanProblem::None:
            break;
    }
    return {};
}

}  // namespace

void FormatJob::AskName(QWidget* window, std::uint64_t stickBytes,
                        std::function<void(const EverydayStick&)> planned) {
    AskText(window, Texts::tr("Make Everyday Stick"),
            Texts::tr("The stick gets one FAT32 partition (exFAT above 32 GB), usable on every "
                      "computer. Its name:"),
            QString::fromLatin1(platform::kDefaultStickLabel),
            [window, stickBytes, planned](const QString& name) {
                const EverydayStick plan =
                    platform::PlanEverydayStick(stickBytes, 0, name.toStdString());
                if (plan.problem == PlanProblem::None) return planned(plan);
                RunAlert(window, true, Texts::tr("Error!"),
                         Texts::tr("Unable to make an everyday stick!"), ProblemText(plan),
                         Texts::tr("OK"));
            });
}

bool FormatJob::Start(const std::string& bsdName, std::uint64_t stickBytes,
                      const std::string& label) {
    if (m_running) return false;
    if (m_thread.joinable()) m_thread.join();
    m_running = true;
    m_cancel = false;
    m_bsdName = bsdName;
    m_stickBytes = stickBytes;
    m_label = label;
    platform::AbandonOpens(false);
    m_thread = std::thread([this, path = platform::BlockNodePath(bsdName)] {
        // The probe needs the device opened as the writer opens it.
        const platform::OpenedDevice device =
            platform::OpenDeviceForWriting(path.c_str(), true, true);
        CapacityVerdict verdict;
        if (device.fd >= 0) {
            verdict = RunCapacityProbe(device, m_cancel);
            close(device.fd);
        }
        WriteFailure failure;
        failure.kind = device.fd < 0 ? WriteFailure::CannotOpen : WriteFailure::None;
        failure.error = device.error;
        if (verdict.kind == CapacityKind::Cancelled) failure.kind = WriteFailure::Cancelled;
        if (verdict.kind == CapacityKind::Failed && device.fd >= 0) {
            failure.kind = WriteFailure::WriteStopped;
            failure.error = verdict.error;
            failure.offset = 0;
        }
        const QString why = failure.kind == WriteFailure::None ? QString() : FailureText(failure);
        const std::int64_t real = verdict.realBytes;
        QMetaObject::invokeMethod(
            this, [this, real, why] { Probed(real, why); }, Qt::QueuedConnection);
    });
    return true;
}

void FormatJob::Probed(std::int64_t realBytes, const QString& failure) {
    m_thread.join();
    const auto fail = [this](const QString& why) {
        m_running = false;
        emit finished(false, Texts::tr("Unable to make an everyday stick!"), why, why);
    };
    if (!failure.isEmpty()) return fail(failure);
    const bool fake = realBytes >= 0 && std::uint64_t(realBytes) < m_stickBytes;
    const EverydayStick plan =
        platform::PlanEverydayStick(m_stickBytes, fake ? std::uint64_t(realBytes) : 0, m_label);
    if (plan.problem != PlanProblem::None) return fail(ProblemText(plan));
    const std::uint64_t size = plan.size != 0 ? plan.size : m_stickBytes - (1 << 20);
    m_asking = true;
    platform::ActiveDiskService().MakeEverydayStick(
        m_bsdName, plan,
        [self = QPointer<FormatJob>(this), generation = m_generation, plan, fake, size, realBytes](
            bool made, const std::string& why) {
            // An answer the user stopped waiting for goes nowhere.
            if (!self || generation != self->m_generation) return;
            FormatJob* job = self;
            job->m_running = job->m_asking = false;
            if (!made) {
                const QString reason = QString::fromStdString(why);
                return emit job->finished(false, Texts::tr("Unable to make an everyday stick!"),
                                          reason, reason);
            }
            emit job->finished(
                true,
                Texts::tr("The stick is now an everyday stick: one %1 partition “%2” of %3.")
                    .arg(Texts::Name(plan.fileSystem), QString::fromStdString(plan.label),
                         SizeText(std::int64_t(size))),
                fake ? Texts::tr("The stick holds only %1 of the %2 it claims, so the partition "
                                 "covers no more: it is counterfeit or failing.")
                           .arg(SizeText(realBytes), SizeText(std::int64_t(job->m_stickBytes)))
                     : QString(),
                Texts::tr("Everyday stick made"));
        });
}

void FormatJob::Abandon() {
    Trace("Everyday stick abandoned.");
    m_cancel = true;
    platform::AbandonOpens(true);
    if (!m_asking) return;
    // The disk service may wait on a password prompt or hang: the window no
    // longer waits for its answer.
    ++m_generation;
    m_running = m_asking = false;
    const QString why = Texts::tr(
        "Stopped waiting for the disk service, which may still finish: the stick may be "
        "half made.");
    emit finished(false, Texts::tr("Unable to make an everyday stick!"), why, why);
}
