// The whole application over real D-Bus: a private bus with the fake UDisks2
// service presenting a USB drive whose block device is a real loop device
// with a mounted ext4. The application's own window and controller scan,
// the test picks the stick and an image like a user, confirms, and checks
// the bytes on the loop device. Needs root (loop devices, mount).

#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QDir>
#include <QtTest>
#include <fstream>
#include <random>

#include "platform/DiskService.h"
#include "support/FakeUDisks.h"
#include "support/TestSupport.h"
#include "test_controller_support.h"

using apptest::Harness;
using apptest::MessageBoxWatcher;
using testsupport::FakeUDisks;

namespace {

constexpr std::size_t kMiB = 1024 * 1024;
constexpr std::size_t kDeviceBytes = 96 * kMiB;
constexpr std::size_t kFileSystemBytes = 32 * kMiB;  // the rest keeps a marker pattern
constexpr int kWriteTimeoutMs = 180000;

std::string RandomBytes(std::size_t size, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i + 8 <= size; i += 8) {
        const std::uint64_t value = random();
        std::memcpy(&bytes[i], &value, 8);
    }
    for (std::size_t i = size & ~std::size_t(7); i < size; ++i) bytes[i] = char(random());
    return bytes;
}

bool IsMounted(const std::string& mountPoint) {
    const std::string mounts = testsupport::ReadBytes("/proc/self/mounts");
    return mounts.find(" " + mountPoint + " ") != std::string::npos;
}

std::string Marker() {
    return RandomBytes(kMiB, 99);
}

constexpr const char* kPrecious = "precious";

// Writes to one block device from threads that the calling thread creates
// from now on are slowed to a USB stick's pace (cgroup v1 blkio throttling
// of direct I/O), so a write lasts long enough to watch and cancel it.
class SlowDevice {
  public:
    ~SlowDevice() { Stop(); }
    bool Start(const std::string& device, std::uint64_t bytesPerSecond, std::string* why) {
        struct stat st {};
        if (stat(device.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) {
            *why = "not a block device: " + device;
            return false;
        }
        m_group = "/sys/fs/cgroup/blkio/imagewriter-test-" + std::to_string(getpid());
        if (mkdir(m_group.c_str(), 0755) != 0 && errno != EEXIST) {
            *why = "cannot create a blkio cgroup (cgroup v1 blkio needed)";
            m_group.clear();
            return false;
        }
        const std::string limit = std::to_string(major(st.st_rdev)) + ":" +
                                  std::to_string(minor(st.st_rdev)) + " " +
                                  std::to_string(bytesPerSecond) + "\n";
        if (!testsupport::WriteBytes(m_group + "/blkio.throttle.write_bps_device", limit) ||
            !testsupport::WriteBytes(m_group + "/tasks", std::to_string(gettid()) + "\n")) {
            *why = "cannot set up blkio throttling";
            return false;
        }
        return true;
    }
    void Stop() {
        if (m_group.empty()) return;
        // Every thread that went in (ours, and any Qt started meanwhile)
        // comes back out, so the group can go.
        const QStringList tasks =
            QString::fromStdString(testsupport::ReadBytes(m_group + "/tasks")).split('\n');
        for (const QString& task : tasks) {
            if (!task.isEmpty()) {
                testsupport::WriteBytes("/sys/fs/cgroup/blkio/tasks", task.toStdString() + "\n");
            }
        }
        if (rmdir(m_group.c_str()) != 0) qWarning("cannot remove %s", m_group.c_str());
        m_group.clear();
    }

  private:
    std::string m_group;
};

}  // namespace

class EndToEndTest : public QObject {
    Q_OBJECT

  private slots:
    void init();
    void cleanup();

    void writesTheImage();
    void imagePathWithShellMetacharacters();
    void cancelMidWrite();
    void clearsTheStick();
    void unmountRefusedByTheService();
    void stickRemovedBeforeConfirmation();
    void stickSwappedBeforeConfirmation();
    void damagedImage();

  private:
    // Brings up the stick: loop device, marker after the file system, ext4
    // mounted, announced by the fake UDisks2 as a USB drive.
    bool setUpStick();
    // Starts the application, accepts the warning, waits for the scan and
    // selects the stick; chooses `image` first when given.
    bool startAndSelect(Harness& h, const QString& image);
    QString makeImage(const QString& name, const std::string& content);
    std::string device() const { return m_loop.Path(); }
    QString blockPath() const { return FakeUDisks::BlockPath(m_blockId); }
    // Neither written nor cleared nor unmounted: still the mounted ext4 with
    // its file, and an empty boot sector.
    bool stickUntouched() const {
        const std::string bytes = testsupport::ReadBytes(device(), 4096);
        return IsMounted(m_mountPoint) &&
               testsupport::ReadBytes(m_mountPoint + "/holiday.jpg") == kPrecious &&
               bytes.size() == 4096 && bytes.substr(0, 1024) == std::string(1024, '\0') &&
               static_cast<unsigned char>(bytes[1024 + 56]) == 0x53 &&
               static_cast<unsigned char>(bytes[1024 + 57]) == 0xEF;
    }
    bool confirm(Harness& h, QPushButton* button) {
        return h.answerDataLossWarning(button, QStringLiteral("Confirm"));
    }
    // Waits until the application's disk service has seen the fake's change.
    bool waitForService(
        const std::function<bool(const std::optional<platform::DiskDescription>&)>& condition) {
        const std::string name = m_loop.BsdName();
        return QTest::qWaitFor(
            [&] { return condition(platform::ActiveDiskService().Describe(name)); }, 20000);
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<FakeUDisks> m_fake;
    testsupport::LoopDevice m_loop;
    std::string m_mountPoint;
    QString m_blockId;
};

void EndToEndTest::init() {
    REQUIRE_ROOT();
    m_dir = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/e2e-XXXXXX");
    QVERIFY(m_dir->isValid());
    m_fake = std::make_unique<FakeUDisks>();
    QVERIFY2(m_fake->Start(), qPrintable(m_fake->LastError()));
    m_fake->ExportAsSystemBus();
    platform::ResetDiskService();  // the next use connects to the private bus
    QVERIFY(setUpStick());
}

void EndToEndTest::cleanup() {
    platform::ResetDiskService();
    if (!m_mountPoint.empty() && IsMounted(m_mountPoint)) {
        testsupport::Run("umount " + testsupport::ShellQuote(m_mountPoint));
    }
    m_loop.Detach();
    m_fake.reset();
    m_dir.reset();
    qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

bool EndToEndTest::setUpStick() {
    const std::string backing = m_dir->filePath("stick.img").toStdString();
    // Zeros where the file system goes, a marker after it.
    if (!testsupport::WriteBytes(backing, std::string(kFileSystemBytes, '\0'))) return false;
    {
        std::ofstream out(backing, std::ios::binary | std::ios::app);
        const std::string marker = Marker();
        for (std::size_t done = kFileSystemBytes; done < kDeviceBytes; done += marker.size()) {
            out.write(marker.data(), static_cast<std::streamsize>(marker.size()));
        }
    }
    std::string why;
    if (!m_loop.Attach(backing, false, &why)) {
        qWarning("%s", why.c_str());
        return false;
    }
    m_mountPoint = m_dir->filePath("mnt").toStdString();
    QDir().mkpath(QString::fromStdString(m_mountPoint));
    const std::string dev = testsupport::ShellQuote(device());
    if (testsupport::Run("mkfs.ext4 -q -F " + dev + " " + std::to_string(kFileSystemBytes / 1024) +
                         "k 2>&1") != 0 ||
        testsupport::Run("mount -t ext4 " + dev + " " + testsupport::ShellQuote(m_mountPoint)) !=
            0 ||
        !testsupport::WriteBytes(m_mountPoint + "/holiday.jpg", kPrecious) ||
        testsupport::Run("sync") != 0) {
        qWarning("cannot make or mount the file system on %s", device().c_str());
        return false;
    }
    m_blockId = QString::fromStdString(m_loop.BsdName());
    FakeUDisks::Block block;
    block.id = m_blockId;
    block.device = QByteArray::fromStdString(device());
    block.size = kDeviceBytes;
    block.drive = QStringLiteral("TestStick");
    block.filesystem = true;
    block.mountPoints = {QByteArray::fromStdString(m_mountPoint)};
    if (!m_fake->AddDrive(QStringLiteral("TestStick"), QStringLiteral("usb"),
                          QStringLiteral("Acme"), QStringLiteral("Flash Stick"), kDeviceBytes) ||
        !m_fake->AddBlock(block)) {
        qWarning("%s", qPrintable(m_fake->LastError()));
        return false;
    }
    return true;
}

QString EndToEndTest::makeImage(const QString& name, const std::string& content) {
    const QString raw = m_dir->filePath("raw.img");
    const QString gz = m_dir->filePath(name);
    if (!testsupport::WriteBytes(raw.toStdString(), content)) return {};
    const int status = testsupport::Run("gzip -1 -c " + testsupport::ShellQuote(raw.toStdString()) +
                                        " > " + testsupport::ShellQuote(gz.toStdString()));
    QFile::remove(raw);
    return status == 0 ? gz : QString();
}

bool EndToEndTest::startAndSelect(Harness& h, const QString& image) {
    if (!h.startUp()) return false;
    const QStringList expected{"Select USB device!", "Acme Flash Stick"};
    if (h.items() != expected) {
        qWarning("list: %s", qPrintable(h.items().join(" | ")));
        return false;
    }
    if (!image.isEmpty()) h.controller().chooseImageFile(image);
    h.pick(1);
    return h.controller().operationMode() ==
           (image.isEmpty() ? ModeDeviceSelected : ModeReadyToWrite);
}

void EndToEndTest::writesTheImage() {
    // Two whole chunks and a last piece that is not a whole number of sectors.
    const std::string content = RandomBytes(16 * kMiB + 4 * kMiB + 1000, 1);
    const QString image = makeImage("system.img.gz", content);
    QVERIFY(!image.isEmpty());
    const std::string after =
        testsupport::ReadBytes(device(), content.size() + 4096).substr(content.size());

    apptest::StdoutCapture out;
    Harness h(nullptr);
    MessageBoxWatcher boxes;
    QVERIFY(startAndSelect(h, image));
    QVERIFY(confirm(h, h.writeButton()));
    QVERIFY(QTest::qWaitFor([&] { return h.controller().operationMode() == ModeWriting; }, 60000));
    QVERIFY(!h.writeInfo()->isHidden());
    QCOMPARE(h.writeButton()->text(), QStringLiteral("Cancel"));
    QVERIFY(h.controller().writeImageButtonAction() == &Controller::cancelWriteImage);
    QVERIFY(!h.quitItem()->isEnabled());

    QVERIFY(boxes.WaitForCount(1, kWriteTimeoutMs));
    QCOMPARE(boxes.Messages(), QStringList{"Image successfully written!"});
    QCOMPARE(boxes.Seen()[0].text, QStringLiteral("Notification!"));
    QCOMPARE(h.controller().operationMode(), ModeReadyToWrite);
    QCOMPARE(h.controller().status(), StatusWriteSucceeded);
    QCOMPARE(h.writeButton()->text(), QStringLiteral("Write Image"));
    QVERIFY(h.writeButton()->isEnabled());
    QVERIFY(h.controller().writeImageButtonAction() == &Controller::writeImage);
    QCOMPARE(h.writeProgress()->value(), 100);

    // Exactly the image, and nothing after it touched.
    const std::string written = testsupport::ReadBytes(device(), content.size() + 4096);
    QVERIFY(written.substr(0, content.size()) == content);
    QVERIFY(written.substr(content.size()) == after);
    QVERIFY(!IsMounted(m_mountPoint));
    const auto unmounts = m_fake->UnmountLog();
    QCOMPARE(unmounts.size(), 1);
    QCOMPARE(unmounts[0].first, blockPath());
    QVERIFY(unmounts[0].second);  // forced
    QVERIFY(
        !QFile::exists(QString::fromStdString(h.controller().tempDirectory()) + "veskImage.img"));

    const QStringList lines = out.Lines();
    QVERIFY(lines.contains("start image writing"));
    QVERIFY(lines.contains("Unmount finished!"));
    QVERIFY(lines.indexOf("start image writing") < lines.indexOf("Unmount finished!"));
    // Two whole chunks and one more piece: reported as 1, 2 and 3 of 2.
    QVERIFY(lines.contains("1 of 2 "));
    QVERIFY(lines.contains("3 of 2 "));
}

void EndToEndTest::imagePathWithShellMetacharacters() {
    const std::string content = RandomBytes(3 * kMiB + 512, 2);
    const QString name =
        QStringLiteral("it's \"$(touch pwned)\" `touch pwned2`; rm -rf x & \\ $HOME.img.gz");
    const QString image = makeImage(name, content);
    QVERIFY(!image.isEmpty());
    const QString here = QDir::currentPath();

    Harness h(nullptr);
    MessageBoxWatcher boxes;
    QVERIFY(startAndSelect(h, image));
    QCOMPARE(h.imageInfo()->text(), name);
    QVERIFY(confirm(h, h.writeButton()));
    QVERIFY(boxes.WaitForCount(1, kWriteTimeoutMs));
    QCOMPARE(boxes.Messages(), QStringList{"Image successfully written!"});
    QVERIFY(testsupport::ReadBytes(device(), content.size()) == content);
    for (const QString& dir : {m_dir->path(), here, QDir::homePath()}) {
        QVERIFY(!QFile::exists(dir + "/pwned"));
        QVERIFY(!QFile::exists(dir + "/pwned2"));
    }
}

void EndToEndTest::cancelMidWrite() {
    const std::string content = RandomBytes(64 * kMiB, 3);
    const QString image = makeImage("big.img.gz", content);
    QVERIFY(!image.isEmpty());
    const std::string before = testsupport::ReadBytes(device(), content.size());
    SlowDevice slow;
    std::string why;
    REQUIRE_OR_SKIP(slow.Start(device(), 16 * kMiB, &why), why.c_str());

    apptest::StdoutCapture out;
    Harness h(nullptr);
    MessageBoxWatcher boxes;
    QVERIFY(startAndSelect(h, image));
    QVERIFY(confirm(h, h.writeButton()));
    // A user watching sees it live: percentage, speed and time left.
    QVERIFY(QTest::qWaitFor([&] { return h.writeInfo()->text().contains("MB/s"); }, 120000));
    QVERIFY2(h.writeInfo()->text().contains("left"), qPrintable(h.writeInfo()->text()));
    QVERIFY(boxes.Seen().empty());

    QCOMPARE(h.writeButton()->text(), QStringLiteral("Cancel"));
    h.writeButton()->click();
    QVERIFY(QTest::qWaitFor([&] { return !h.writeButton()->isEnabled(); }, 10000));
    QVERIFY(boxes.WaitForCount(1, kWriteTimeoutMs));
    QCOMPARE(boxes.Messages(), QStringList{"Image could not be written!"});
    QCOMPARE(boxes.Seen()[0].icon, QMessageBox::Critical);
    QCOMPARE(h.controller().operationMode(), ModeReadyToWrite);
    QCOMPARE(h.writeButton()->text(), QStringLiteral("Write Image"));
    QVERIFY(h.writeButton()->isEnabled());
    QVERIFY(h.controller().writeImageButtonAction() == &Controller::writeImage);
    QVERIFY(h.quitItem()->isEnabled());
    QVERIFY(
        !QFile::exists(QString::fromStdString(h.controller().tempDirectory()) + "veskImage.img"));
    QVERIFY(out.Lines().contains("Cancel Write Image process."));

    // The start of the image is there, its end never got written.
    const std::string written = testsupport::ReadBytes(device(), content.size());
    QVERIFY(written.substr(0, 8 * kMiB) == content.substr(0, 8 * kMiB));
    QVERIFY(written.substr(56 * kMiB) == before.substr(56 * kMiB));
}

void EndToEndTest::clearsTheStick() {
    // Something in the boot sector before the clear.
    {
        std::fstream dev(device(), std::ios::in | std::ios::out | std::ios::binary);
        const std::string junk = RandomBytes(1024, 4);
        dev.write(junk.data(), 1024);
    }
    Harness h(nullptr);
    MessageBoxWatcher boxes;
    QVERIFY(startAndSelect(h, QString()));
    QVERIFY(confirm(h, h.clearButton()));
    QVERIFY(boxes.WaitForCount(1, kWriteTimeoutMs));
    QCOMPARE(boxes.Messages(), QStringList{"Device successfully cleared!"});
    QCOMPARE(boxes.Seen()[0].text, QStringLiteral("Notification!"));
    QCOMPARE(h.controller().status(), StatusIdle);
    QCOMPARE(h.controller().operationMode(), ModeDeviceSelected);  // unchanged
    QVERIFY(h.clearButton()->isEnabled());
    QVERIFY(h.quitItem()->isEnabled());
    QVERIFY(!IsMounted(m_mountPoint));

    const std::string bytes = testsupport::ReadBytes(device());
    QCOMPARE(bytes.size(), kDeviceBytes);
    QVERIFY(bytes.substr(0, 1024) == std::string(1024, '\0'));
    // The ext4 superblock right after is still there (magic 0xEF53)...
    QCOMPARE(static_cast<unsigned char>(bytes[1024 + 56]), 0x53);
    QCOMPARE(static_cast<unsigned char>(bytes[1024 + 57]), 0xEF);
    // ...and so is everything behind the file system.
    const std::string marker = Marker();
    for (std::size_t at = kFileSystemBytes; at < kDeviceBytes; at += marker.size()) {
        QVERIFY(bytes.compare(at, marker.size(), marker) == 0);
    }
}

void EndToEndTest::unmountRefusedByTheService() {
    QVERIFY(m_fake->SetUnmountError(blockPath(), "org.freedesktop.UDisks2.Error.DeviceBusy",
                                    "Target is busy"));
    const QString image = makeImage("a.img.gz", RandomBytes(2 * kMiB, 5));
    QVERIFY(stickUntouched());
    apptest::StdoutCapture out;
    Harness h(nullptr);
    MessageBoxWatcher boxes;
    QVERIFY(startAndSelect(h, image));
    for (QPushButton* button : {h.writeButton(), h.clearButton()}) {
        const std::size_t seen = boxes.Seen().size();
        QVERIFY(confirm(h, button));
        QVERIFY(boxes.WaitForCount(seen + 1, 60000));
        QCOMPARE(boxes.Messages().last(), QStringLiteral("Cannot unmount device!"));
        QCOMPARE(h.controller().operationMode(), ModeReadyToWrite);
        QCOMPARE(h.controller().status(), StatusIdle);
        QVERIFY(h.writeButton()->isEnabled());
    }
    QVERIFY(stickUntouched());
    QCOMPARE(out.Lines().count("Unmount failed!"), 2);
}

void EndToEndTest::stickRemovedBeforeConfirmation() {
    const QString image = makeImage("a.img.gz", RandomBytes(2 * kMiB, 6));
    QVERIFY(stickUntouched());
    Harness h(nullptr);
    MessageBoxWatcher boxes;
    QVERIFY(startAndSelect(h, image));
    h.writeButton()->click();
    QVERIFY(apptest::OpenSheet(h.window()) != nullptr);
    // Pulled out while the warning is open.
    QVERIFY(m_fake->RemoveObject(blockPath()));
    QVERIFY(m_fake->RemoveObject(FakeUDisks::DrivePath("TestStick")));
    QVERIFY(waitForService([](const auto& d) { return !d.has_value(); }));
    apptest::SheetButton(apptest::OpenSheet(h.window()), "Confirm")->click();
    QVERIFY(boxes.WaitForCount(1, 60000));
    QVERIFY2(boxes.Messages()[0].contains("no longer available"), qPrintable(boxes.Messages()[0]));
    QVERIFY(m_fake->UnmountLog().isEmpty());
    QVERIFY(stickUntouched());
    QCOMPARE(h.controller().operationMode(), ModeReadyToWrite);
}

void EndToEndTest::stickSwappedBeforeConfirmation() {
    const QString image = makeImage("a.img.gz", RandomBytes(2 * kMiB, 7));
    QVERIFY(stickUntouched());
    Harness h(nullptr);
    MessageBoxWatcher boxes;
    QVERIFY(startAndSelect(h, QString()));
    h.controller().chooseImageFile(image);
    // Another stick now has the kernel name of the one that was selected.
    QVERIFY(m_fake->RemoveObject(blockPath()));
    QVERIFY(m_fake->RemoveObject(FakeUDisks::DrivePath("TestStick")));
    QVERIFY(m_fake->AddDrive("OtherStick", "usb", "Other", "Stick", kDeviceBytes));
    FakeUDisks::Block block;
    block.id = m_blockId;
    block.device = QByteArray::fromStdString(device());
    block.size = kDeviceBytes;
    block.drive = "OtherStick";
    QVERIFY(m_fake->AddBlock(block));
    QVERIFY(waitForService([](const auto& d) {
        return d && d->mediaName == std::optional<std::string>("Other Stick");
    }));
    for (QPushButton* button : {h.writeButton(), h.clearButton()}) {
        const std::size_t seen = boxes.Seen().size();
        QVERIFY(confirm(h, button));
        QVERIFY(boxes.WaitForCount(seen + 1, 60000));
        QVERIFY(boxes.Messages().last().contains("no longer available"));
    }
    QVERIFY(m_fake->UnmountLog().isEmpty());
    QVERIFY(stickUntouched());
}

void EndToEndTest::damagedImage() {
    QString image = makeImage("broken.img.gz", RandomBytes(4 * kMiB, 8));
    QVERIFY(!image.isEmpty());
    // Cut in the middle: gunzip reports an unexpected end of file.
    QVERIFY(QFile::resize(image, QFileInfo(image).size() / 2));
    Harness h(nullptr);
    MessageBoxWatcher boxes;
    QVERIFY(startAndSelect(h, image));
    QVERIFY(confirm(h, h.writeButton()));
    QVERIFY(boxes.WaitForCount(1, kWriteTimeoutMs));
    QCOMPARE(boxes.Messages(), QStringList{"Image could not be written!"});
    QCOMPARE(h.controller().operationMode(), ModeReadyToWrite);
    QCOMPARE(h.writeButton()->text(), QStringLiteral("Write Image"));
    QVERIFY(h.writeButton()->isEnabled());
    QVERIFY(h.controller().writeImageButtonAction() == &Controller::writeImage);
    // Nothing reached the device (the file system was unmounted, no more).
    const std::string bytes = testsupport::ReadBytes(device(), 4 * kMiB);
    QVERIFY(bytes.substr(0, 1024) == std::string(1024, '\0'));
    QCOMPARE(static_cast<unsigned char>(bytes[1024 + 56]), 0x53);
}

QTEST_MAIN(EndToEndTest)
#include "test_e2e_write.moc"
