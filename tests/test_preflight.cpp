// The checks between a confirmation and the unmount, and what a confirmation
// adds: one row per check and per way it can say no, wait or ask, over plain
// facts; and the run that gathers them off the window's thread.

#include <QtTest>
#include <thread>

#include "workflow/Preflight.h"

namespace {

using State = platform::ImageChecksum::State;

// A removable 16 MiB stick and a readable 1 MiB raw image, then the row's change.
PreflightFacts Facts(int operation, const std::function<void(PreflightFacts&)>& change) {
    PreflightFacts f;
    f.operation = operation;
    f.stick = {"sdb", "Acme Flash", 16 << 20, true, true, ConfirmedDevice::Same};
    f.image = {true, ImageFormat::Raw, 1 << 20, false, false};
    f.checksumFile = "SHA256SUMS";
    if (change) change(f);
    return f;
}

struct Row {
    const char* name;
    Preflight::Stage stage;
    int operation;
    std::function<void(PreflightFacts&)> change;
    Verdict::Kind kind;
    const char* text;  // message | reason | trace
};

const QString kGone =
    "The selected USB device is no longer available. Please press Refresh to rescan the USB "
    "devices and select the stick again.||";
const QString kCannot = "Image could not be written!|";

// clang-format off
const Row kRows[] = {
    {"a stick and an image that may go", Preflight::BeforeUnmount, OperationWrite, {}, Verdict::Go, "||"},
    {"stick gone", Preflight::BeforeUnmount, OperationWrite, [](auto& f) { f.stick.now = ConfirmedDevice::Gone; }, Verdict::Refuse, nullptr},
    {"stick gone, clear", Preflight::BeforeUnmount, OperationClear, [](auto& f) { f.stick.now = ConfirmedDevice::Gone; }, Verdict::Refuse, nullptr},
    {"stick now holds the running system", Preflight::BeforeUnmount, OperationClear, [](auto& f) { f.stick.now = ConfirmedDevice::RunningSystem; }, Verdict::Refuse, "The selected USB device now holds part of the running system. It is not written or cleared.||"},
    {"write-protected", Preflight::BeforeUnmount, OperationWrite, [](auto& f) { f.stick.now = ConfirmedDevice::WriteProtected; }, Verdict::Refuse, "The selected USB device is write-protected. Release its write-protection switch, if it has one, plug it in again and press Refresh.||Device sdb is write-protected"},
    {"checksum still computed", Preflight::BeforeUnmount, OperationWrite, [](auto& f) { f.checksum = State::Checking; }, Verdict::Wait, "Waiting for the SHA-256 check\u2026||"},
    {"checksum computed, stick gone", Preflight::BeforeUnmount, OperationWrite, [](auto& f) { f.checksum = State::Checking; f.stick.now = ConfirmedDevice::Gone; }, Verdict::Refuse, nullptr},
    {"checksum does not match", Preflight::BeforeUnmount, OperationWrite, [](auto& f) { f.checksum = State::Mismatch; }, Verdict::Refuse, "The image does not match the SHA-256 in SHA256SUMS: it is damaged, or not the image that was published. Nothing was written.||Image does not match its published SHA-256"},
    {"checksum file unusable", Preflight::BeforeUnmount, OperationWrite, [](auto& f) { f.checksum = State::Unusable; }, Verdict::Go, "||"},
    {"raw image larger than the stick", Preflight::BeforeUnmount, OperationWrite, [](auto& f) { f.image.bytes = (16 << 20) + 512; }, Verdict::Refuse, "Image could not be written!|The image is larger than the stick by 512 bytes (both 16 MB).|Image is larger than the device: 16777728 bytes > 16777216 bytes"},
    {"compressed file larger than the stick", Preflight::BeforeUnmount, OperationWrite, [](auto& f) { f.image.format = ImageFormat::Xz; f.image.bytes = 32 << 20; }, Verdict::Go, "||"},
    {"image not readable", Preflight::BeforeUnmount, OperationWrite, [](auto& f) { f.image.readable = false; f.image.onStick = true; }, Verdict::Refuse, "Image could not be written!|The image is not a file that can be read.|"},
    {"name promises a compression", Preflight::BeforeUnmount, OperationWrite, [](auto& f) { f.image.format = ImageFormat::Damaged; }, Verdict::Refuse, "Image could not be written!|The image's name promises a compression its content lacks.|"},
    {"raw image of no bytes", Preflight::BeforeUnmount, OperationWrite, [](auto& f) { f.image.bytes = 0; }, Verdict::Refuse, "Image could not be written!|The image holds no bytes.|"},
    {"image changed since its check", Preflight::BeforeUnmount, OperationWrite, [](auto& f) { f.checksum = State::Matches; f.image.changed = true; }, Verdict::Refuse, "The image changed after its SHA-256 was checked. Choose it again to check it anew.||"},
    {"image on the stick", Preflight::BeforeUnmount, OperationWrite, [](auto& f) { f.image.onStick = true; }, Verdict::Refuse, "The image file is on the selected USB device. Copy it to another disk first.||Image file is on the device it would be written to: sdb"},
    {"a clear looks at no image", Preflight::BeforeUnmount, OperationClear, [](auto& f) { f.image = {}; f.checksum = State::Mismatch; }, Verdict::Go, "||"},
    {"a stick at the confirmation", Preflight::AtConfirmation, OperationWrite, [](auto& f) { f.stick.now = ConfirmedDevice::Gone; }, Verdict::Go, "||"},
    {"an image that holds nothing known", Preflight::AtConfirmation, OperationWrite, [](auto& f) { f.image.flag = ImageFlag::Unrecognised; }, Verdict::Ask, "This image holds no partition table or file system the system recognises, so a stick written with it will most likely not start a computer, nor show files. It is written as it is only if you confirm.||"},
    {"an optical-disc image, and a fixed disk", Preflight::AtConfirmation, OperationWrite, [](auto& f) { f.image.flag = ImageFlag::NotBootable; f.stick.removable = f.stick.mediaRemovable = false; }, Verdict::Ask, "The selected disk, Acme Flash (16 MB), looks like a hard disk rather than a USB stick. Make sure it holds nothing you need.\n\nThis image is made for optical discs: it has neither the boot record nor the partition table a computer looks for on a stick, so a stick written with it will most likely not start a computer. It is written as it is only if you confirm.||"},
    {"a clear is not asked about the image", Preflight::AtConfirmation, OperationClear, [](auto& f) { f.image.flag = ImageFlag::NotBootable; }, Verdict::Go, "||"},
    {"a fixed disk at the confirmation", Preflight::AtConfirmation, OperationClear, [](auto& f) { f.stick.removable = f.stick.mediaRemovable = false; f.stick.bytes = 500107862016; }, Verdict::Ask, "The selected disk, Acme Flash (476940 MB), looks like a hard disk rather than a USB stick. Make sure it holds nothing you need.||"},
};
// clang-format on

}  // namespace

class PreflightTest : public QObject {
    Q_OBJECT

  private slots:
    void decide_data() {
        QTest::addColumn<int>("row");
        for (int i = 0; i < int(std::size(kRows)); ++i) QTest::newRow(kRows[i].name) << i;
    }
    void decide() {
        QFETCH(int, row);
        const Row& r = kRows[row];
        const Verdict v = Preflight::Decide(r.stage, Facts(r.operation, r.change));
        QCOMPARE(v.kind, r.kind);
        QCOMPARE(v.message + '|' + v.reason + '|' + QString::fromStdString(v.trace),
                 r.text ? QString(r.text) : kGone);
    }

    // The image is looked at on a thread of its own, the stick on the
    // window's; a run started anew drops the answer of the one before.
    void run() {
        PreflightRun run;
        QList<Verdict> verdicts;
        connect(&run, &PreflightRun::decided, this,
                [&](const Verdict& v, const PreflightFacts&) { verdicts << v; });
        const auto window = std::this_thread::get_id();
        std::thread::id imageThread, stickThread;
        PreflightSources slow{[&] { return Facts(OperationWrite, {}).stick; },
                              [&] {
                                  QThread::msleep(200);
                                  return ImageFacts{};  // unreadable
                              }};
        PreflightSources fast{[&] {
                                  stickThread = std::this_thread::get_id();
                                  return Facts(OperationWrite, {}).stick;
                              },
                              [&] {
                                  imageThread = std::this_thread::get_id();
                                  return Facts(OperationWrite, {}).image;
                              }};
        run.Start(Facts(OperationWrite, {}), slow);
        run.Start(Facts(OperationWrite, {}), fast);
        QTRY_COMPARE(verdicts.size(), 1);
        QTest::qWait(300);
        QCOMPARE(verdicts.size(), 1);
        QCOMPARE(verdicts[0].kind, Verdict::Go);
        QCOMPARE(stickThread, window);
        QVERIFY(imageThread != window && imageThread != std::thread::id());
    }
};

QTEST_GUILESS_MAIN(PreflightTest)
#include "test_preflight.moc"
