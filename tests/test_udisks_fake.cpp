// The UDisks2 backend over real D-Bus: a private bus with fake_udisks.py on it
// stands in for the system bus.

#include <fcntl.h>
#include <unistd.h>

#include <QDBusObjectPath>
#include <QtTest>
#include <algorithm>
#include <cerrno>
#include <thread>

#include "StorageDeviceHandler.h"
#include "platform/UDisksService.h"
#include "support/CaptureFd.h"
#include "support/FakeUDisks.h"
#include "support/TestSupport.h"

using platform::DiskDescription;
using platform::DiskObject;
using testsupport::CaptureFd;
using testsupport::FakeUDisks;

namespace {

constexpr int kWaitMs = 20000;  // bound for things that must happen, not a measure

const QString kBlock = QStringLiteral("org.freedesktop.UDisks2.Block");
const QString kDrive = QStringLiteral("org.freedesktop.UDisks2.Drive");
const QString kFilesystem = QStringLiteral("org.freedesktop.UDisks2.Filesystem");

struct Recorder {
    std::vector<std::pair<char, DiskObject>> events;
    void Attach(platform::DiskSession& s) {
        s.RegisterDiskAppearedCallback(
            [](const DiskObject& d, void* self) {
                static_cast<Recorder*>(self)->events.push_back({'+', d});
            },
            this);
        s.RegisterDiskDisappearedCallback(
            [](const DiskObject& d, void* self) {
                static_cast<Recorder*>(self)->events.push_back({'-', d});
            },
            this);
    }
    std::string Text() const {
        std::string text;
        for (const auto& [kind, disk] : events) text += kind + disk.bsdName + " ";
        return text;
    }
};

void Drain() {
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
}

int g_calls = 0;
bool g_result = false;
void Done(bool ok) {
    ++g_calls;
    g_result = ok;
}
int g_otherCalls = 0;
bool g_otherResult = true;
void OtherDone(bool ok) {
    ++g_otherCalls;
    g_otherResult = ok;
}

FakeUDisks::Block UsbBlock(const QString& id, quint64 size, const QString& drive) {
    FakeUDisks::Block b;
    b.id = id;
    b.device = "/dev/" + id.toUtf8();
    b.size = size;
    b.drive = drive;
    return b;
}

FakeUDisks::Block PartitionBlock(const QString& id, const QString& table, const QString& drive,
                                 bool filesystem, QByteArrayList mountPoints = {}) {
    FakeUDisks::Block b = UsbBlock(id, 1000, drive);
    b.table = table;
    b.filesystem = filesystem;
    b.mountPoints = std::move(mountPoints);
    return b;
}

}  // namespace

class UDisksFakeTest : public QObject {
    Q_OBJECT
    std::unique_ptr<FakeUDisks> m_fake;

    platform::UDisksService& Service() {
        return dynamic_cast<platform::UDisksService&>(platform::ActiveDiskService());
    }
    // A fresh backend on the fake's bus, with its first load done.
    bool StartBackend() {
        platform::ResetDiskService();
        m_fake->ExportAsSystemBus();
        return QTest::qWaitFor([&] { return Service().Loaded(); }, kWaitMs);
    }
    bool AddUsbStick(const QString& block, const QString& drive, quint64 size = 16000000000) {
        return m_fake->AddDrive(drive, "usb", "Kingston", "DataTraveler 3.0", 0) &&
               m_fake->AddBlock(UsbBlock(block, size, drive));
    }

  private slots:
    void init() {
        g_calls = 0;
        g_otherCalls = 0;
        platform::InstallDiskService(nullptr);
        m_fake = std::make_unique<FakeUDisks>();
        QVERIFY2(m_fake->Start(), qPrintable(m_fake->LastError()));
    }
    void cleanup() {
        platform::ResetDiskService();
        m_fake.reset();
        qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }

    void describesBlocksFromTheirDrives() {
        QVERIFY(AddUsbStick("sdb", "usb1"));
        QVERIFY(m_fake->AddBlock(PartitionBlock("sdb1", "sdb", "usb1", true)));
        QVERIFY(m_fake->AddDrive("ata1", "", "", "WDC WD10EZEX", 1000000000000));
        QVERIFY(m_fake->AddBlock(UsbBlock("sda", 1000000000000, "ata1")));
        QVERIFY(m_fake->AddDrive("blank", "usb", "", "", 0));
        QVERIFY(m_fake->AddBlock(UsbBlock("sdc", 0, "blank")));
        QVERIFY(m_fake->AddBlock(UsbBlock("loop0", 4096, "")));  // no drive: "/"
        QVERIFY(StartBackend());

        DiskDescription sdb;
        sdb.deviceProtocol = "USB";
        sdb.mediaWhole = true;
        sdb.mediaName = "Kingston DataTraveler 3.0";
        sdb.mediaSize = 16000000000;  // from the block: the drive says 0
        sdb.deviceModel = "DataTraveler 3.0";
        QCOMPARE(Service().Describe("sdb"), std::optional(sdb));
        QCOMPARE(Service().Describe("sdb1")->mediaWhole, std::optional(false));
        QCOMPARE(Service().Describe("sdb1")->deviceProtocol, std::optional<std::string>("USB"));
        const auto sda = *Service().Describe("sda");
        QCOMPARE(sda.deviceProtocol, std::optional<std::string>(""));
        QCOMPARE(sda.mediaName, std::optional<std::string>("WDC WD10EZEX"));
        const auto sdc = *Service().Describe("sdc");
        QVERIFY(!sdc.mediaName.has_value());
        QCOMPARE(sdc.deviceModel, std::optional<std::string>(""));
        QCOMPARE(sdc.mediaSize, std::optional<std::uint64_t>(0));
        const auto loop = *Service().Describe("loop0");
        QVERIFY(!loop.deviceProtocol && !loop.mediaName && !loop.deviceModel);
        QCOMPARE(loop.mediaSize, std::optional<std::uint64_t>(4096));
        QVERIFY(!Service().Describe("sdz"));

        // The registry on top: only the USB whole disks, partitions probed.
        StorageDeviceHandler handler;
        CaptureFd err(2);
        handler.AddToRunLoop();
        Drain();
        handler.RemoveFromRunLoop();
        handler.UpdateDeviceList();
        QCOMPARE(handler.GetDeviceList().size(), std::size_t(2));
        QCOMPARE(QByteArray(handler.GetDeviceList()[0]->bsdName), QByteArray("sdb"));
        QCOMPARE(handler.GetDeviceList()[0]->partitionMask, quint16(1));
        QCOMPARE(QByteArray(handler.GetDeviceList()[1]->bsdName), QByteArray("sdc"));
        QCOMPARE(err.Text(), std::string("disk sdb found\npartition /dev/sdb1 is mounted\n"
                                         "disk sdc found\n"));
    }

    void followsChangesScheduledOrNot() {
        QVERIFY(AddUsbStick("sdb", "usb1"));
        QVERIFY(StartBackend());
        auto session = Service().CreateSession();
        Recorder rec;
        rec.Attach(*session);
        session->ScheduleWithMainLoop();
        QTRY_COMPARE_WITH_TIMEOUT(rec.Text(), std::string("+sdb "), kWaitMs);

        // While scheduled: a stick with a partition, a non-USB disk.
        QVERIFY(AddUsbStick("sdc", "usb2"));
        QVERIFY(m_fake->AddBlock(PartitionBlock("sdc1", "sdc", "usb2", false)));
        QVERIFY(m_fake->AddDrive("ata1", "", "", "WDC", 1));
        QVERIFY(m_fake->AddBlock(UsbBlock("sda", 1, "ata1")));
        QTRY_COMPARE_WITH_TIMEOUT(rec.Text(), std::string("+sdb +sdc +sdc1 +sda "), kWaitMs);
        QVERIFY(m_fake->RemoveObject(FakeUDisks::BlockPath("sdc1")));
        QTRY_COMPARE_WITH_TIMEOUT(rec.Text(), std::string("+sdb +sdc +sdc1 +sda -sdc1 "), kWaitMs);

        // While not: nothing is told until the next schedule, then the difference.
        session->UnscheduleFromMainLoop();
        rec.events.clear();
        // Signals arrive in order: once the last change is seen, all are.
        QVERIFY(m_fake->AddBlock(UsbBlock("sde", 1, "")));
        QVERIFY(m_fake->RemoveObject(FakeUDisks::BlockPath("sde")));
        QVERIFY(m_fake->RemoveObject(FakeUDisks::BlockPath("sdb")));
        QVERIFY(AddUsbStick("sdd", "usb3"));
        QTRY_VERIFY_WITH_TIMEOUT(Service().Describe("sdd").has_value(), kWaitMs);
        Drain();
        QVERIFY(rec.events.empty());
        session->ScheduleWithMainLoop();
        Drain();
        QCOMPARE(rec.Text(), std::string("-sdb +sdd "));
        QCOMPARE(rec.events[0].second.description->deviceModel,
                 std::optional<std::string>("DataTraveler 3.0"));
    }

    void driveChangesReachTheirBlocks() {
        QVERIFY(AddUsbStick("sdb", "usb1"));
        QVERIFY(m_fake->AddBlock(PartitionBlock("sdb1", "sdb", "usb1", false)));
        // A block whose drive is announced after it.
        QVERIFY(m_fake->AddBlock(UsbBlock("sdc", 8, "late")));
        QVERIFY(StartBackend());
        QVERIFY(!Service().Describe("sdc")->deviceProtocol);
        QVERIFY(m_fake->AddDrive("late", "usb", "Late", "Comer", 0));
        QTRY_COMPARE_WITH_TIMEOUT(Service().Describe("sdc")->mediaName,
                                  std::optional<std::string>("Late Comer"), kWaitMs);

        QVERIFY(m_fake->SetProperty(FakeUDisks::DrivePath("usb1"), kDrive, "Model", "Renamed"));
        QTRY_COMPARE_WITH_TIMEOUT(Service().Describe("sdb1")->deviceModel,
                                  std::optional<std::string>("Renamed"), kWaitMs);
        QCOMPARE(Service().Describe("sdb")->mediaName,
                 std::optional<std::string>("Kingston Renamed"));
        QVERIFY(
            m_fake->SetProperty(FakeUDisks::DrivePath("usb1"), kDrive, "ConnectionBus", "sdio"));
        QTRY_COMPARE_WITH_TIMEOUT(Service().Describe("sdb")->deviceProtocol,
                                  std::optional<std::string>("sdio"), kWaitMs);
        QVERIFY(m_fake->RemoveObject(FakeUDisks::DrivePath("usb1")));
        QTRY_VERIFY_WITH_TIMEOUT(!Service().Describe("sdb")->deviceProtocol, kWaitMs);
        QVERIFY(m_fake->SetProperty(FakeUDisks::BlockPath("sdb"), kBlock, "Size",
                                    QVariant::fromValue<qulonglong>(42)));
        QTRY_COMPARE_WITH_TIMEOUT(Service().Describe("sdb")->mediaSize,
                                  std::optional<std::uint64_t>(42), kWaitMs);
        // A property sent without its value makes the backend read the tree again.
        QVERIFY(m_fake->InvalidateProperty(FakeUDisks::BlockPath("sdb"), kBlock, "Size"));
        QTRY_VERIFY_WITH_TIMEOUT(!Service().Describe("sdb")->mediaSize, kWaitMs);
        // Losing the Block interface makes it no disk.
        QVERIFY(m_fake->RemoveInterface(FakeUDisks::BlockPath("sdc"), kBlock));
        QTRY_VERIFY_WITH_TIMEOUT(!Service().Describe("sdc"), kWaitMs);
    }

    void hostilePropertyValues() {
        const auto block = [](const QByteArray& device, const QVariantMap& more = {}) {
            QVariantMap props{{"Device", device}};
            props.insert(more);
            return FakeUDisks::Interfaces{{kBlock, props}};
        };
        const auto usbDrive = QVariant::fromValue(QDBusObjectPath(FakeUDisks::DrivePath("usb1")));
        QVERIFY(m_fake->AddDrive("usb1", "usb", "V", QString(300, QChar(0x00e9)), 0));
        // No NUL at the end, no Size, a drive.
        QVERIFY(m_fake->AddObject(FakeUDisks::BlockPath("a"),
                                  block("/dev/sdh", {{"Drive", usbDrive}})));
        // Bytes that are not UTF-8 in the name; Size of the wrong type.
        QVERIFY(m_fake->AddObject(FakeUDisks::BlockPath("b"),
                                  block(QByteArray("/dev/sd\xff\0junk", 13), {{"Size", "big"}})));
        // Not addressable as /dev/NAME.
        QVERIFY(m_fake->AddObject(FakeUDisks::BlockPath("c"), block("/dev/mapper/x")));
        QVERIFY(m_fake->AddObject(FakeUDisks::BlockPath("d"), block("sdq")));
        QVERIFY(m_fake->AddObject(FakeUDisks::BlockPath("e"), {{kBlock, {{"Size", 5}}}}));
        // Drive of the wrong type, negative size, MountPoints of the wrong type.
        QVERIFY(m_fake->AddObject(FakeUDisks::BlockPath("f"),
                                  {{kBlock,
                                    {{"Device", QByteArray("/dev/sdf")},
                                     {"Drive", "not a path"},
                                     {"Size", qlonglong(-1)}}},
                                   {kFilesystem, {{"MountPoints", "nope"}}}}));
        QVERIFY(StartBackend());

        QCOMPARE(Service().Describe("sdh")->deviceProtocol, std::optional<std::string>("USB"));
        QVERIFY(!Service().Describe("sdh")->mediaSize);
        QVERIFY(Service().Describe("sd\xff").has_value());
        QVERIFY(!Service().Describe("sd\xff")->mediaSize);
        QVERIFY(!Service().Describe("sdf")->deviceProtocol);
        QVERIFY(!Service().Describe("sdf")->mediaSize);
        QCOMPARE(Service().Disks().size(), std::size_t(3));

        StorageDeviceHandler handler;
        CaptureFd err(2);
        handler.AddToRunLoop();
        Drain();
        handler.UpdateDeviceList();
        QCOMPARE(handler.GetDeviceList().size(), std::size_t(1));
        const deviceEntryStruct& entry = *handler.GetDeviceList()[0];
        QVERIFY(std::memchr(entry.mediaName, 0, 255) && std::memchr(entry.infoText, 0, 255));
        QCOMPARE(QByteArray(entry.infoText).right(27),
                 QByteArray("\nUSB device\nSize:      0MB\n"));
        QCOMPARE(QString::fromUtf8(entry.infoText).left(113), QString(113, QChar(0x00e9)));

        // The mount points of the wrong type are none: nothing to unmount.
        QVERIFY(StorageDeviceHandler::UnMountBSDDevice("/dev/sdf", Done));
        QTRY_COMPARE_WITH_TIMEOUT(g_calls, 1, kWaitMs);
        QVERIFY(g_result);
        QVERIFY(m_fake->UnmountLog().isEmpty());
    }

    void unmountsEveryMountedVolumeOfTheDisk() {
        QVERIFY(AddUsbStick("sdb", "usb1"));
        QVERIFY(AddUsbStick("sdc", "usb2"));
        QVERIFY(m_fake->AddBlock(PartitionBlock("sdb1", "sdb", "usb1", true, {"/media/a"})));
        QVERIFY(m_fake->AddBlock(PartitionBlock("sdb2", "sdb", "usb1", true, {})));
        QVERIFY(m_fake->AddBlock(PartitionBlock("sdb3", "sdb", "usb1", false)));
        QVERIFY(
            m_fake->AddBlock(PartitionBlock("sdb5", "sdb", "usb1", true, {"/media/b", "/m c"})));
        QVERIFY(m_fake->AddBlock(PartitionBlock("sdc1", "sdc", "usb2", true, {"/media/c"})));
        QVERIFY(StartBackend());
        CaptureFd out(1);

        QVERIFY(StorageDeviceHandler::UnMountBSDDevice("/dev/sdb", Done));
        QTRY_COMPARE_WITH_TIMEOUT(g_calls, 1, kWaitMs);
        QVERIFY(g_result);
        auto log = m_fake->UnmountLog();
        std::sort(log.begin(), log.end());
        QCOMPARE(log, (QList<QPair<QString, bool>>{{FakeUDisks::BlockPath("sdb1"), true},
                                                   {FakeUDisks::BlockPath("sdb5"), true}}));
        QCOMPARE(out.Text(), std::string("successfully unmounted\n"));

        // Nothing mounted any more: success without a call.
        QVERIFY(StorageDeviceHandler::UnMountBSDDevice("/dev/sdb", Done));
        QTRY_COMPARE_WITH_TIMEOUT(g_calls, 2, kWaitMs);
        QVERIFY(g_result);
        QCOMPARE(m_fake->UnmountLog().size(), 2);

        // Refused by the service: false once, no success line.
        QVERIFY(m_fake->SetUnmountError(FakeUDisks::BlockPath("sdc1"),
                                        "org.freedesktop.UDisks2.Error.DeviceBusy",
                                        "target is busy"));
        QVERIFY(StorageDeviceHandler::UnMountBSDDevice("/dev/sdc", Done));
        QTRY_COMPARE_WITH_TIMEOUT(g_calls, 3, kWaitMs);
        QVERIFY(!g_result);

        // Unknown disk: refused at once, never called back.
        QVERIFY(!StorageDeviceHandler::UnMountBSDDevice("/dev/sdz", Done));
        QVERIFY(StorageDeviceHandler::UnMountBSDDevice("/dev/sdb", Done));  // a later one
        QTRY_COMPARE_WITH_TIMEOUT(g_calls, 4, kWaitMs);
        QTest::qWait(200);
        QCOMPARE(g_calls, 4);
        QCOMPARE(out.Text(), std::string("successfully unmounted\nsuccessfully unmounted\n"
                                         "successfully unmounted\n"));
    }

    void unmountDuringTheFirstLoad() {
        QVERIFY(AddUsbStick("sdb", "usb1"));
        QVERIFY(m_fake->AddBlock(PartitionBlock("sdb1", "sdb", "usb1", true, {"/media/a"})));
        m_fake->ExportAsSystemBus();
        platform::ResetDiskService();
        QVERIFY(!Service().Loaded());  // the load has only been asked for
        // Accepted, decided once the tree is known.
        QVERIFY(StorageDeviceHandler::UnMountBSDDevice("/dev/sdb", Done));
        QVERIFY(StorageDeviceHandler::UnMountBSDDevice("/dev/sdz", OtherDone));
        QTRY_VERIFY_WITH_TIMEOUT(g_calls == 1 && g_otherCalls == 1, kWaitMs);
        QVERIFY(g_result);
        QVERIFY(!g_otherResult);  // sdz: unknown after the load
        QCOMPARE(m_fake->UnmountLog().size(), 1);
    }

    void serviceLeavesMidScanAndComesBack() {
        QVERIFY(AddUsbStick("sdb", "usb1"));
        QVERIFY(StartBackend());
        StorageDeviceHandler handler;
        CaptureFd err(2);
        handler.AddToRunLoop();
        QTRY_VERIFY_WITH_TIMEOUT(err.Text() == "disk sdb found\n", kWaitMs);

        QVERIFY(m_fake->StopService());
        QTRY_VERIFY_WITH_TIMEOUT(err.Text().find("disk sdb lost\n") != std::string::npos, kWaitMs);
        QVERIFY(!Service().Loaded());
        QVERIFY(!StorageDeviceHandler::UnMountBSDDevice("/dev/sdb", Done));
        handler.RemoveFromRunLoop();
        handler.UpdateDeviceList();
        QVERIFY(handler.GetDeviceList().empty());

        QVERIFY2(m_fake->StartService(), qPrintable(m_fake->LastError()));
        QTRY_VERIFY_WITH_TIMEOUT(Service().Loaded(), kWaitMs);
        handler.AddToRunLoop();
        QTRY_COMPARE_WITH_TIMEOUT(QByteArray::fromStdString(err.Text()).count("disk sdb found\n"),
                                  2, kWaitMs);
        handler.RemoveFromRunLoop();
        handler.UpdateDeviceList();
        QCOMPARE(handler.GetDeviceList().size(), std::size_t(1));
        err.Restore();
        QCOMPARE(err.Text(), std::string("disk sdb found\ndisk service unavailable\n"
                                         "disk sdb lost\ndisk sdb found\n"));
    }

    void busWithoutTheService() {
        QVERIFY(AddUsbStick("sdb", "usb1"));
        QVERIFY(m_fake->StopService());
        m_fake->ExportAsSystemBus();
        CaptureFd err(2);
        platform::ResetDiskService();
        QVERIFY(Service().Disks().empty());
        QTRY_COMPARE_WITH_TIMEOUT(err.Text(), std::string("disk service unavailable\n"), kWaitMs);
        QVERIFY(!StorageDeviceHandler::UnMountBSDDevice("/dev/sdb", Done));
        // It starts later: the backend notices and loads.
        QVERIFY(m_fake->StartService());
        QTRY_VERIFY_WITH_TIMEOUT(Service().Describe("sdb").has_value(), kWaitMs);
        QCOMPARE(err.Text(), std::string("disk service unavailable\n"));
    }

    void noSystemBusAtAll() {
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent");
        CaptureFd err(2);
        platform::ResetDiskService();
        QVERIFY(Service().Disks().empty());
        StorageDeviceHandler handler;
        handler.AddToRunLoop();
        Drain();
        handler.RemoveFromRunLoop();
        handler.UpdateDeviceList();
        QVERIFY(handler.GetDeviceList().empty());
        QVERIFY(!DeviceExists("/dev/sda"));
        QVERIFY(!StorageDeviceHandler::UnMountBSDDevice("/dev/sda", Done));
        int error = 0;
        QCOMPARE(platform::OpenDeviceThroughUDisks("/dev/sda", O_WRONLY, &error), -1);
        QCOMPARE(error, EACCES);
        err.Restore();
        QCOMPARE(err.Text(), std::string("disk service unavailable\n"));
    }

    void openerFromAWorkerThread() {
        QVERIFY(AddUsbStick("sdb", "usb1"));
        QVERIFY(m_fake->SetOpenError(FakeUDisks::BlockPath("sdb"),
                                     "org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain",
                                     "Not authorized to perform operation"));
        m_fake->ExportAsSystemBus();
        int fd = 0, error = 0, unknownError = 0;
        std::thread worker([&] {
            fd = platform::OpenDeviceThroughUDisks("/dev/sdb", O_EXCL | O_CLOEXEC, &error);
            platform::OpenDeviceThroughUDisks("/dev/sdz", O_EXCL | O_CLOEXEC, &unknownError);
        });
        worker.join();
        QCOMPARE(fd, -1);
        QCOMPARE(error, EACCES);
        QCOMPARE(unknownError, ENODEV);
    }

    void openerGivesAWritableDescriptor() {
        REQUIRE_ROOT();
        QTemporaryDir dir;
        const std::string backing = dir.filePath("stick.img").toStdString();
        QVERIFY(testsupport::WriteBytes(backing, std::string(1 << 20, '\0')));
        testsupport::LoopDevice loop;
        std::string why;
        QVERIFY2(loop.Attach(backing, false, &why), why.c_str());
        FakeUDisks::Block b = UsbBlock(QString::fromStdString(loop.BsdName()), 1 << 20, "");
        QVERIFY(m_fake->AddBlock(b));
        m_fake->ExportAsSystemBus();

        int fd = -1, error = 0;
        std::thread worker([&] {
            fd = platform::OpenDeviceThroughUDisks(loop.Path().c_str(),
                                                   O_EXCL | O_CLOEXEC | O_DIRECT, &error);
        });
        worker.join();
        QVERIFY2(fd >= 0, strerror(error));
        QVERIFY(fcntl(fd, F_GETFD) & FD_CLOEXEC);
        QCOMPARE(fcntl(fd, F_GETFL) & (O_ACCMODE | O_DIRECT), O_WRONLY | O_DIRECT);
        void* buffer = nullptr;
        QCOMPARE(posix_memalign(&buffer, 4096, 4096), 0);
        std::memset(buffer, 'W', 4096);
        QCOMPARE(write(fd, buffer, 4096), ssize_t(4096));
        free(buffer);
        QCOMPARE(fsync(fd), 0);
        // Held exclusively: a second exclusive open is refused by the kernel.
        QCOMPARE(open(loop.Path().c_str(), O_WRONLY | O_EXCL), -1);
        QCOMPARE(errno, EBUSY);
        close(fd);
        loop.Detach();
        QCOMPARE(testsupport::ReadBytes(backing, 4097), std::string(4096, 'W') + '\0');
    }
};

QTEST_GUILESS_MAIN(UDisksFakeTest)
#include "test_udisks_fake.moc"
