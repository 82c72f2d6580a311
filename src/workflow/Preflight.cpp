#include "workflow/Preflight.h"

#include <QMetaObject>
#include <iterator>

#include "DeviceImageWriter.h"
#include "platform/disks/DriveSafety.h"
#include "window/WriteInfoText.h"

namespace {

using State = platform::ImageChecksum::State;

Verdict Go() {
    return {};
}

Verdict Refuse(QString message, QString reason = {}, std::string trace = {}) {
    return {Verdict::Refuse, std::move(message), std::move(reason), std::move(trace)};
}

Verdict Ask(QString paragraph) {
    return {Verdict::Ask, std::move(paragraph), {}, {}};
}

// ---------------------------------------------------------------- the checks

// A disk that looks like a hard disk gets its name said once more.
Verdict HardDisk(const PreflightFacts& f) {
    const StickFacts& s = f.stick;
    if (!platform::LooksLikeHardDisk(s.removable, s.mediaRemovable, s.bytes)) return Go();
    return Ask(Preflight::tr("The selected disk, %1 (%2 MB), looks like a hard disk rather than a "
                             "USB stick. Make sure it holds nothing you need.")
                   .arg(QString::fromStdString(s.name))
                   .arg(s.bytes >> 20));
}

// An image that will most likely not start a computer from a stick is
// still written as it is, once the user knows.
Verdict ImageFlagged(const PreflightFacts& f) {
    const QString paragraph = FlagConfirmationText(f.image.flag);
    return paragraph.isEmpty() ? Go() : Ask(paragraph);
}

// The stick about to be unmounted is the one the user confirmed, and one
// that may be written.
Verdict SameStick(const PreflightFacts& f) {
    switch (f.stick.now) {
        case ConfirmedDevice::Same:
            return Go();
        case ConfirmedDevice::WriteProtected:
            return Refuse(Preflight::tr("The selected USB device is write-protected. Release its "
                                        "write-protection switch, if it has one, plug it in again "
                                        "and press Refresh."),
                          {}, "Device " + f.stick.bsdName + " is write-protected");
        case ConfirmedDevice::RunningSystem:
            return Refuse(
                Preflight::tr("The selected USB device now holds part of the running "
                              "system. It is not written or cleared."));
        case ConfirmedDevice::Gone:
            break;
    }
    return Refuse(
        Preflight::tr("The selected USB device is no longer available. Please press "
                      "Refresh to rescan the USB devices and select the stick again."));
}

// A write confirmed while the publisher's checksum is computed waits for it.
Verdict ChecksumKnown(const PreflightFacts& f) {
    if (f.checksum != State::Checking) return Go();
    return {Verdict::Wait, Preflight::tr("Waiting for the SHA-256 check\u2026"), {}, {}};
}

Verdict ChecksumMatches(const PreflightFacts& f) {
    if (f.checksum != State::Mismatch) return Go();
    return Refuse(Preflight::tr("The image does not match the SHA-256 in %1: it is damaged, or "
                                "not the image that was published. Nothing was written.")
                      .arg(f.checksumFile),
                  {}, "Image does not match its published SHA-256");
}

QString CouldNotWrite() {
    return Preflight::tr("Image could not be written!");
}

// A raw image's size is known before anything happens: one larger than the
// stick ends here. A compressed one is checked by the writer once its size
// is known.
Verdict ImageFits(const PreflightFacts& f) {
    const ImageFacts& i = f.image;
    const auto stick = static_cast<std::int64_t>(f.stick.bytes);
    if (!i.readable || i.format != ImageFormat::Raw || i.bytes <= stick) return Go();
    return Refuse(CouldNotWrite(), TooLargeText(i.bytes, stick), ImageTooLargeLine(i.bytes, stick));
}

// What the image's first bytes already tell: unreadable, misnamed, or a raw
// image of no bytes.
Verdict ImageUsable(const PreflightFacts& f) {
    const ImageFacts& i = f.image;
    WriteFailure refused;
    refused.kind = !i.readable                                    ? WriteFailure::NotReadable
                   : i.format == ImageFormat::Damaged             ? WriteFailure::Misnamed
                   : i.format == ImageFormat::Raw && i.bytes == 0 ? WriteFailure::Empty
                                                                  : WriteFailure::None;
    if (refused.kind == WriteFailure::None) return Go();
    return Refuse(CouldNotWrite(), FailureText(refused));
}

Verdict ImageUnchanged(const PreflightFacts& f) {
    if (!f.image.changed) return Go();
    return Refuse(
        Preflight::tr("The image changed after its SHA-256 was checked. Choose it again "
                      "to check it anew."));
}

// An image on the stick itself would go with the unmount, or be overwritten
// while it is read.
Verdict ImageElsewhere(const PreflightFacts& f) {
    if (!f.image.onStick) return Go();
    return Refuse(
        Preflight::tr("The image file is on the selected USB device. Copy it to another disk "
                      "first."),
        {}, "Image file is on the device it would be written to: " + f.stick.bsdName);
}

constexpr unsigned kWrite = 1u << OperationWrite, kClear = 1u << OperationClear,
                   kFormat = 1u << OperationFormat;

struct Check {
    Preflight::Stage stage;
    unsigned operations;
    Verdict (*run)(const PreflightFacts&);
};

// In the order they run.
const Check kChecks[] = {
    {Preflight::AtConfirmation, kWrite | kClear | kFormat, HardDisk},
    {Preflight::AtConfirmation, kWrite, ImageFlagged},
    {Preflight::BeforeUnmount, kWrite | kClear | kFormat, SameStick},
    {Preflight::BeforeUnmount, kWrite, ChecksumKnown},
    {Preflight::BeforeUnmount, kWrite, ChecksumMatches},
    {Preflight::BeforeUnmount, kWrite, ImageFits},
    {Preflight::BeforeUnmount, kWrite, ImageUsable},
    {Preflight::BeforeUnmount, kWrite, ImageUnchanged},
    {Preflight::BeforeUnmount, kWrite | kFormat, ImageElsewhere},
};

}  // namespace

Verdict Preflight::Decide(Stage stage, const PreflightFacts& facts) {
    Verdict asked;
    for (const Check& check : kChecks) {
        if (check.stage != stage || !(check.operations & (1u << facts.operation))) continue;
        Verdict verdict = check.run(facts);
        if (verdict.kind == Verdict::Go) continue;
        if (verdict.kind != Verdict::Ask) return verdict;
        asked.kind = Verdict::Ask;
        asked.message +=
            (asked.message.isEmpty() ? QString() : QStringLiteral("\n\n")) + verdict.message;
    }
    return asked;
}

void PreflightRun::Start(PreflightFacts facts, PreflightSources sources) {
    Cancel();
    if (sources.stick) facts.stick = sources.stick();
    const unsigned generation = ++m_generation;
    // Reading the image may block (a stalled network mount): never on the
    // window's thread.
    m_thread = std::thread([this, facts, image = std::move(sources.image), generation]() mutable {
        if (image) facts.image = image();
        const Verdict verdict = Preflight::Decide(Preflight::BeforeUnmount, facts);
        QMetaObject::invokeMethod(
            this,
            [this, verdict, facts, generation] {
                // A run cancelled meanwhile was joined by Cancel.
                if (generation != m_generation) return;
                m_thread.join();
                emit decided(verdict, facts);
            },
            Qt::QueuedConnection);
    });
}

void PreflightRun::Cancel() {
    ++m_generation;
    if (m_thread.joinable()) m_thread.join();
}
