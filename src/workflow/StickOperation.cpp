#include "workflow/StickOperation.h"

#include "DeviceImageWriter.h"
#include "platform/disks/DevicePaths.h"
#include "platform/kernel/KernelView.h"

using State = platform::ImageChecksum::State;

StickOperation::StickOperation(const platform::ImageChecksum& checksum) : m_checksum(checksum) {
    connect(&m_run, &PreflightRun::decided, this, &StickOperation::Decided);
    // A write confirmed while the checksum was computed goes on once it has
    // an answer, all checks again.
    connect(&checksum, &platform::ImageChecksum::changed, this, [this] {
        if (m_waitingForChecksum && m_checksum.state() != State::Checking) {
            m_waitingForChecksum = false;
            Check();
        }
    });
}

void StickOperation::Begin(int operation, const deviceEntryStruct& stick, const std::string& image,
                           UnmountCallback unmounted) {
    m_facts = PreflightFacts{};
    m_facts.operation = operation;
    m_stick = stick;
    m_image = image;
    m_unmounted = unmounted;
    m_waitingForChecksum = false;
    Check();
}

void StickOperation::Check() {
    PreflightFacts facts;
    facts.operation = m_facts.operation;
    facts.checksum = m_checksum.state();
    facts.checksumFile = m_checksum.fileName();
    PreflightSources sources;
    sources.stick = [stick = m_stick] { return StickFactsNow(stick); };
    // A clear touches no image; the everyday stick must not take the chosen
    // image with it.
    if (m_facts.operation != OperationClear && !m_image.empty())
        sources.image = [image = m_image, disk = std::string(m_stick.bsdName),
                         checked = facts.checksum == State::Matches,
                         stamp = std::pair{m_checksum.size(), m_checksum.modified()}] {
            return LookAtImage(image, disk, checked, stamp);
        };
    m_run.Start(std::move(facts), std::move(sources));
}

void StickOperation::Decided(const Verdict& verdict, const PreflightFacts& facts) {
    m_facts = facts;
    if (verdict.kind == Verdict::Wait) {
        m_waitingForChecksum = true;
        emit waiting(verdict.message);
        return;
    }
    if (verdict.kind == Verdict::Refuse) {
        if (!verdict.trace.empty()) Trace(verdict.trace.c_str());
        emit refused(verdict.message, verdict.reason);
        return;
    }
    const std::string path = platform::BlockNodePath(m_stick.bsdName);
    // Refused at once (the service does not know the disk): no callback
    // will come.
    if (!StorageDeviceHandler::UnMountBSDDevice(path.c_str(), m_unmounted)) {
        emit unmountRefused();
        return;
    }
    // A password prompt or a hung service may keep the answer away for long.
    m_unmountPending = true;
    emit waiting(QString());
}

void StickOperation::Abandon() {
    if (m_unmountPending) {
        ++m_abandonedUnmounts;
        Trace("Unmount abandoned: nothing is written.");
    }
    m_unmountPending = false;
    m_waitingForChecksum = false;
    m_run.Cancel();
}

bool StickOperation::UnmountAnswered() {
    if (m_abandonedUnmounts > 0) {
        --m_abandonedUnmounts;
        Trace("Unmount answered after it was abandoned: nothing is written.");
        return false;
    }
    m_unmountPending = false;
    return true;
}

StickFacts ListedStick(const deviceEntryStruct& stick) {
    StickFacts facts;
    facts.bsdName = stick.bsdName;
    facts.name = stick.mediaName;
    facts.bytes = stick.mediaSize;
    facts.removable = stick.removable;
    facts.mediaRemovable = stick.mediaRemovable;
    return facts;
}

StickFacts StickFactsNow(const deviceEntryStruct& stick) {
    StickFacts facts = ListedStick(stick);
    facts.now = CheckConfirmedDevice(stick);
    return facts;
}

ImageFacts LookAtImage(const std::string& image, const std::string& bsdName, bool checked,
                       std::pair<std::int64_t, std::int64_t> checkedStamp) {
    ImageFacts look;
    look.readable = InspectImage(image.c_str(), &look.format, &look.bytes);
    look.onStick = look.readable && platform::FileOnDisk(platform::FileSystemOf(image), bsdName,
                                                         platform::ReadKernelView());
    look.changed = checked && platform::FileStamp(image) != checkedStamp;
    return look;
}
