// The UDisks2 backend. test_udisks: against the dbusmock UDisks2 on a private
// bus. test_udisks_real (root): against the system's udisksd and polkitd, with
// loop devices for sticks; as "--as-user write|clear DEVICE IMAGE" it is the
// program an ordinary user runs.

#include <fcntl.h>
#include <sys/fsuid.h>
#include <unistd.h>

#include <QtTest>
#include <thread>

#include "DeviceImageWriter.h"
#include "StorageDeviceHandler.h"
#include "platform/desktop/TempDirectory.h"
#include "platform/disks/EverydayStick.h"
#include "platform/disks/UDisksService.h"
#include "platform/kernel/DeviceAccess.h"
#include "support/MockUDisks.h"
#include "support/TestSupport.h"

using namespace testsupport;

namespace {

constexpr int kWaitMs = 30000;  // bound for things that must happen, not a measure
std::atomic<int> g_calls{0};    // of Done: unmount requests, write jobs
std::atomic<bool> g_result{false};
void Done(bool ok) {
    g_result = ok;
    ++g_calls;
}

platform::UDisksService& Backend() {
    return dynamic_cast<platform::UDisksService&>(platform::ActiveDiskService());
}

// The writer's job, or its clear on a thread of its own, as the program runs
// them; asNobody: that thread opens files as an ordinary user would.
bool RunJob(bool write, const std::string& device, const std::string& image,
            const std::string& temp, bool asNobody = false, WriteFailure* failure = nullptr) {
    DeviceImageWriter writer;
    writer.SetTempDirectory(temp.c_str());
    writer.SetImageFile(image.c_str());
    writer.SetDevice(device.c_str());
    writer.SetVerify(true);  // as the window does: one open, read+write, for both passes
    bool cleared = false;
    if (!write) {
        std::thread([&] {
            if (asNobody) setfsuid(65534);  // this thread only
            cleared = writer.ClearDevice();
        }).join();
        if (failure) *failure = writer.Failure();
        return cleared;
    }
    g_calls = 0;
    return writer.WriteImage(Done, nullptr) &&
           QTest::qWaitFor([] { return g_calls > 0; }, 10 * kWaitMs) && g_result;
}

// What the backend tells of a disk: protocol, name, model, size, identity
// ("-": none).
[[maybe_unused]] QString Description(const std::string& bsdName) {
    const auto d = Backend().Describe(bsdName);
    const auto s = [](const auto& v) { return v ? QString::fromStdString(*v) : QString("-"); };
    return !d ? "none"
              : s(d->deviceProtocol) + '|' + s(d->mediaName) + '|' + s(d->deviceModel) + '|' +
                    QString::number(d->mediaSize.value_or(0)) + '|' + d->driveIdentity.c_str();
}

// A loop device over `file` that udisksd knows: it learns of one only from a
// "change" uevent.
[[maybe_unused]] bool AttachStick(LoopDevice& loop, const std::string& file) {
    return loop.Attach(file) &&
           Run("echo change > /sys/class/block/" + loop.BsdName() + "/uevent") == 0 &&
           QTest::qWaitFor([&] { return Backend().Describe(loop.BsdName()).has_value(); }, kWaitMs);
}

[[maybe_unused]] std::string MountPoint(const std::string& node) {
    std::string point;
    Run("findmnt -nro TARGET -S " + node, &point);
    return point.substr(0, point.find('\n'));
}

}  // namespace

class UDisksTest : public QObject {
    Q_OBJECT
    std::unique_ptr<MockUDisks> m_mock;

  private slots:
    void init() {
#ifdef REAL_UDISKS
        REQUIRE_ROOT();
        const int status = Run("bash " TEST_SOURCE_DIR "/../scripts/system-services.sh start 2>&1");
        QVERIFY2(status == 0, "the system's udisksd could not be started");
        qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
#else
        m_mock = std::make_unique<MockUDisks>();
        QString why;
        QVERIFY2(m_mock->Start(&why), qPrintable(why));
        QVERIFY(m_mock->AddStick("stick1", "/dev/sdb", "Kingston", "DataTraveler", 16000000000));
#endif
        platform::InstallDiskService(nullptr);
        g_calls = 0;
        g_result = false;
        InitDeviceHandling();
    }
    void cleanup() {
        FinalizeDeviceHandling();
        platform::ResetDiskService();
        m_mock.reset();
    }

#ifndef REAL_UDISKS
    void followsTheService_data() {
        QTest::addColumn<int>("change");
        QTest::addColumn<QString>("sdb");
        const QString stick = "USB|Kingston DataTraveler|DataTraveler|16000000000|SN-stick1";
        QTest::newRow("as loaded") << 0 << stick;
        QTest::newRow("model changed") << 1 << "USB|Kingston Renamed|Renamed|16000000000|SN-stick1";
        QTest::newRow("model invalidated") << 2 << "USB|Kingston|-|16000000000|SN-stick1";
        QTest::newRow("stick pulled") << 3 << "none";
        QTest::newRow("service gone and back") << 4 << stick;
        QTest::newRow("first load failed, then Refresh") << 5 << stick;
        QTest::newRow("serial gone: the drive's path")
            << 6 << QString(stick).replace("SN-stick1", "/org/freedesktop/UDisks2/drives/stick1");
    }
    void followsTheService() {
        QFETCH(int, change);
        QFETCH(QString, sdb);
        QVERIFY(m_mock->FailNextLoads(change == 5));
        QSignalSpy loads(&Backend(), &platform::UDisksService::loadFinished);
        QTRY_COMPARE_WITH_TIMEOUT(loads.count(), 1, kWaitMs);
        if (change == 1) QVERIFY(m_mock->SetProperty("stick1", "Drive", "Model", "Renamed"));
        if (change == 2) QVERIFY(m_mock->SetProperty("stick1", "Drive", "Model", {}));
        if (change == 3) QVERIFY(m_mock->RemoveStick("stick1"));
        if (change == 6) QVERIFY(m_mock->SetProperty("stick1", "Drive", "Serial", {}));
        if (change == 4) QVERIFY(m_mock->StopService());
        QTRY_COMPARE_WITH_TIMEOUT(Backend().Loaded(), change != 4 && change != 5, kWaitMs);
        if (change == 4) QVERIFY(Description("sdb") == "none" && m_mock->StartService());
        StorageDeviceHandler handler;  // a scan, as Refresh starts one
        handler.AddToRunLoop();
        QTRY_COMPARE_WITH_TIMEOUT(Description("sdb"), sdb, kWaitMs);
    }

    // Every mounted partition of the disk, only those, never forced; an
    // unknown disk is refused and never called back.
    void unmount() {
        QVERIFY(m_mock->AddPartition("stick1", 1, "/dev/sdb1", "/media/a"));
        QVERIFY(m_mock->AddPartition("stick1", 2, "/dev/sdb2", ""));
        QVERIFY(m_mock->AddPartition("stick1", 3, "/dev/sdb3", "/media/b"));
        QVERIFY(m_mock->AddStick("stick2", "/dev/sdc", "SanDisk", "Cruzer", 8000000000));
        QVERIFY(m_mock->AddPartition("stick2", 1, "/dev/sdc1", "/media/c"));
        QTRY_VERIFY_WITH_TIMEOUT(Backend().Loaded(), kWaitMs);
        QVERIFY(!StorageDeviceHandler::UnMountBSDDevice("/dev/sdz", Done));
        QVERIFY(StorageDeviceHandler::UnMountBSDDevice("/dev/sdb", Done));
        QTRY_VERIFY_WITH_TIMEOUT(g_calls == 1 && g_result, kWaitMs);
        QStringList made = m_mock->UnmountCalls();
        made.sort();
        QCOMPARE(made, (QStringList{"/dev/sdb1 force=false", "/dev/sdb3 force=false"}));
    }

    // Write and clear touch nothing but a disk, whatever the service names as
    // its device and whoever opens it.
    void onlyDisks_data() {
        QTest::addColumn<bool>("write");      // else clear
        QTest::addColumn<QString>("device");  // "file", "disk": handed out by the opener
        QTest::newRow("clear: link to the log") << false << "/dev/stdout";
        QTest::newRow("write: link to the log") << true << "/dev/stdout";
        QTest::newRow("clear: character device") << false << "/dev/null";
        QTest::newRow("clear: opener hands out a file") << false << "file";
        QTest::newRow("clear: opener hands out a disk") << false << "disk";
        // A password prompt nobody answers: the wait is given up, nothing opened.
        QTest::newRow("clear: opener's answer waited on, given up") << false << "hung";
    }
    void onlyDisks() {
        QFETCH(bool, write);
        QFETCH(QString, device);
        QTemporaryDir dir(QStringLiteral("/var/tmp/udisks-test-XXXXXX"));
        const std::string d = dir.path().toStdString() + "/", target = d + "private/stick";
        const std::string link = "/dev/imagewriter-test-" + std::to_string(getpid());
        auto unlinkLater = qScopeGuard([&] { unlink(link.c_str()); });
        QCOMPARE(Run("head -c 65536 /dev/zero | gzip > " + d + "zeros.gz"), 0);
        std::string node = device.toStdString();
        LoopDevice loop;
        if (!device.startsWith("/dev/")) {  // out of an ordinary user's reach but the opener's
            REQUIRE_ROOT();
            QCOMPARE(Run("mkdir -m 700 " + d + "private && head -c 65536 /dev/urandom > " + target +
                         " && ln -s " + target + " " + link),
                     0);
            QVERIFY(device == "file" || loop.Attach(target));
            QVERIFY(m_mock->SetDelay(device == "hung" ? 3 : 0));
            node = device == "file" ? link : loop.Path();
            QVERIFY(m_mock->AddStick("stick2", QByteArray::fromStdString(node), "V", "M", 65536));
        }
        Backend();  // as at the program's start: installs the privileged opener
        CaptureFd out(1);
        std::thread giveUp([&] {
            if (device != "hung") return;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            platform::AbandonOpens(true);
        });
        WriteFailure failure;
        const bool done =
            RunJob(write, node, d + "zeros.gz", d, !device.startsWith("/dev/"), &failure);
        giveUp.join();
        platform::AbandonOpens(false);
        out.Restore();
        QCOMPARE(failure.kind == WriteFailure::Cancelled, device == "hung");
        loop.Detach();
        QCOMPARE(done, device == "disk");
        const std::string bytes = node == "/dev/stdout" ? out.Text() : ReadBytes(target);
        QCOMPARE(bytes.find(std::string(1024, '\0')) != std::string::npos, done);
    }

    // An everyday stick as the backend asks UDisks2 for it: a failure gives
    // the service's reason in a sentence, and `done` comes once.
    void everydayStick_data() {
        QTest::addColumn<QString>("disk");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("fails");  // the call told to fail
        QTest::addColumn<int>("calls");      // how many of the two were made
        QTest::addColumn<QString>("why");    // empty: made
        const auto row = [](const char* tag, const char* disk, const char* label, const char* fails,
                            int calls, const char* why) {
            QTest::newRow(tag) << disk << label << fails << calls << why;
        };
        row("made", "sdb", "", "", 2, "");
        row("password prompt refused", "sdb", "", "Format", 1,
            "Making a new partition table was not allowed (the password prompt was refused).");
        row("file system fails", "sdb", "", "Create", 2,
            "Making the file system failed: told to fail");
        row("label refused", "sdb", "A*B", "", 0,
            "The stick's label or size cannot be used: nothing was changed.");
        row("stick unknown", "sdz", "", "", 0, "The disk service no longer knows the stick.");
    }
    void everydayStick() {
        QFETCH(QString, disk);
        QFETCH(QString, label);
        QFETCH(QString, fails);
        QFETCH(int, calls);
        const QString error = fails == "Format" ? "NotAuthorizedDismissed" : "Failed";
        QVERIFY(
            m_mock->SetCallError(fails, "org.freedesktop.UDisks2.Error." + error, "told to fail"));
        QTRY_VERIFY_WITH_TIMEOUT(Backend().Loaded(), kWaitMs);
        int done = 0;
        QString why;
        platform::ActiveDiskService().MakeEverydayStick(
            disk.toStdString(), platform::PlanEverydayStick(16000000000, 0, label.toStdString()),
            [&](bool ok, const std::string& reason) {
                ++done;
                why = ok ? "" : reason.empty() ? "?" : QString::fromStdString(reason);
            });
        QTRY_COMPARE_WITH_TIMEOUT(done, 1, kWaitMs);
        const QStringList made{"Format /dev/sdb dos {}",
                               "Create /dev/sdb 0 0 0x0c '' {} vfat {label=USB STICK, "
                               "take-ownership=true}"};
        QCOMPARE(m_mock->DiskCalls(), made.mid(0, calls));
        QCoreApplication::processEvents();
        QCOMPARE(done, 1);
        QTEST(why, "why");
    }

    void rescan() {
        QTRY_VERIFY_WITH_TIMEOUT(Backend().Loaded(), kWaitMs);
        platform::ActiveDiskService().RescanDisk("sdb");
        QTRY_COMPARE_WITH_TIMEOUT(m_mock->DiskCalls(), QStringList{"Rescan /dev/sdb {}"}, kWaitMs);
    }
#else
    // A program holds a file open on the stick: the unmount fails, names the
    // busy file system and leaves it mounted; once it is closed, it unmounts.
    void busyStick() {
        QTemporaryDir dir(QStringLiteral("/var/tmp/udisks-test-XXXXXX"));
        const std::string image = dir.filePath("stick.img").toStdString();
        QCOMPARE(Run("truncate -s 64M " + image + " && mkfs.ext4 -q " + image), 0);
        LoopDevice loop;
        QVERIFY(AttachStick(loop, image));
        const std::string fs = loop.Path();
        auto unmountLater = qScopeGuard([&] { Run("umount -l " + fs + " 2>/dev/null"); });
        // Through udisksd, once it has probed the file system.
        Run("for i in $(seq 100); do udisksctl mount --no-user-interaction -b " + fs +
            " >/dev/null 2>&1 && break; sleep 0.1; done");
        const std::string mountPoint = MountPoint(fs);
        const int held = open((mountPoint + "/held").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        QVERIFY(!mountPoint.empty() && held >= 0);
        CaptureFd out(1);
        QVERIFY(StorageDeviceHandler::UnMountBSDDevice(fs.c_str(), Done));
        QTRY_VERIFY_WITH_TIMEOUT(g_calls == 1, kWaitMs);
        out.Restore();
        QVERIFY(!g_result);
        QCOMPARE(MountPoint(fs), mountPoint);
        const std::string busy = "unmount of " + fs + " (" + mountPoint + ") failed: ";
        QVERIFY2(out.Text().starts_with(busy) && out.Text().find("busy") != std::string::npos,
                 out.Text().c_str());
        close(held);
        QVERIFY(StorageDeviceHandler::UnMountBSDDevice(fs.c_str(), Done));
        QTRY_VERIFY_WITH_TIMEOUT(g_calls == 2 && g_result, kWaitMs);
        QVERIFY(MountPoint(fs).empty());
    }

    // udisksd makes the everyday stick: one partition of the plan's type,
    // file system, label and size, which keeps a file.
    void everydayStick_data() {
        QTest::addColumn<qulonglong>("size");    // of the sparse stick
        QTest::addColumn<qulonglong>("usable");  // of it; 0: all
        QTest::addColumn<QString>("made");       // partition and type|LABEL|TYPE|MiB, the file
        QTest::newRow("FAT32") << (1ull << 30) << 0ull << "1 0xc|MY STICK|vfat|1023\nkept\n";
        QTest::newRow("exFAT, 40 GiB")
            << (40ull << 30) << 0ull << "1 0x7|my stick|exfat|40959\nkept\n";
        QTest::newRow("fake 40 GiB stick, real 600 MiB")
            << (40ull << 30) << (600ull << 20) << "1 0xc|MY STICK|vfat|599\nkept\n";
    }
    void everydayStick() {
        QFETCH(qulonglong, size);
        QFETCH(qulonglong, usable);
        QTemporaryDir dir(QStringLiteral("/var/tmp/udisks-test-XXXXXX"));
        const std::string d = dir.path().toStdString() + "/";
        LoopDevice loop;
        QVERIFY(Run("truncate -s " + std::to_string(size) + " " + d + "stick && mkdir " + d +
                    "m") == 0 &&
                AttachStick(loop, d + "stick"));
        auto cleanup = qScopeGuard(
            [&] { Run("umount -q " + d + "m; udevadm settle; partx -d " + loop.Path()); });
        // udisksd may still describe the loop device's last backing file.
        QTRY_VERIFY_WITH_TIMEOUT(
            Backend().Describe(loop.BsdName()).value_or(platform::DiskDescription{}).mediaSize ==
                size,
            kWaitMs);
        std::string why = "not made";
        platform::ActiveDiskService().MakeEverydayStick(
            loop.BsdName(), platform::PlanEverydayStick(size, usable, "my stick"),
            [&](bool ok, const std::string& reason) { why = ok ? "" : reason; });
        QTRY_VERIFY_WITH_TIMEOUT(why != "not made", 4 * kWaitMs);
        QCOMPARE(QString::fromStdString(why), QString());
        // This kernel has neither FAT nor exFAT: mtools, and exFAT through FUSE.
        const std::string check =
            "D=" + loop.Path() + " P=" + loop.Path() + "p1 M=" + d + "m; " + R"sh(udevadm settle
            printf '%s %s|' $(partx -g -o NR,TYPE $D)
            blkid -p -o value -s TYPE -s LABEL $P | tr '\n' '|'
            echo $(($(blockdev --getsize64 $P) >> 20))
            if [ "$(blkid -p -o value -s TYPE $P)" = vfat ]; then
                echo kept | mcopy -i $P - ::f 2>/dev/null && mtype -i $P ::f 2>/dev/null
            else
                mount.exfat-fuse $P $M && echo kept >$M/f && umount $M && mount.exfat-fuse $P $M &&
                    cat $M/f && umount $M
                while pgrep -f "exfat-fuse $P" >/dev/null; do sleep 0.1; done
            fi)sh";
        std::string out;
        QCOMPARE(Run(check, &out), 0);
        QTEST(QString::fromStdString(out), "made");
    }

    // The program as an ordinary user opens the stick through udisksd once
    // polkit allows it, and never without.
    void ordinaryUser_data() {
        QTest::addColumn<bool>("write");  // else clear
        QTest::addColumn<bool>("consent");
        QTest::newRow("write without polkit's consent") << true << false;
        QTest::newRow("write image") << true << true;
        QTest::newRow("clear device") << false << true;
    }
    void ordinaryUser() {
        QFETCH(bool, write);
        QFETCH(bool, consent);
        QTemporaryDir dir(QStringLiteral("/var/tmp/udisks-user-XXXXXX"));
        const std::string d = dir.path().toStdString() + "/", user = "imagewriter-test";
        QCOMPARE(
            Run("(id " + user + " || useradd -r " + user + ") >/dev/null 2>&1 && chmod 755 " + d +
                " && head -c 3000000 /dev/urandom > " + d + "image && gzip -k " + d + "image"),
            0);
        QVERIFY(WriteBytes(d + "stick", std::string(4 << 20, 'x')));
        LoopDevice loop;
        QVERIFY(AttachStick(loop, d + "stick"));
        const std::string rule = "/etc/polkit-1/rules.d/49-" + user + ".rules";
        unlink(rule.c_str());  // left by a run that was killed
        auto removeRule = qScopeGuard([&] { unlink(rule.c_str()); });
        QVERIFY(!consent || WriteBytes(rule,
                                       "polkit.addRule(function(action, subject) {\n"
                                       "  if (action.id.indexOf('org.freedesktop.udisks2.')"
                                       " == 0 && subject.user == '" +
                                           user + "') return polkit.Result.YES; });\n"));
        const std::string command =
            "cd / && runuser -u " + user +
            " -- env DBUS_SYSTEM_BUS_ADDRESS=unix:path=/run/dbus/system_bus_socket " +
            QCoreApplication::applicationFilePath().toStdString() +
            (write ? " --as-user write " : " --as-user clear ") + loop.Path() + " " + d +
            "image.gz";
        // polkitd reads a new rule a moment after it appears.
        const bool done = consent ? QTest::qWaitFor([&] { return Run(command) == 0; }, kWaitMs)
                                  : Run(command) == 0;
        QCOMPARE(done, consent);
        loop.Detach();
        const std::string written = write ? ReadBytes(d + "image") : std::string(1024, '\0');
        const std::string rest((4 << 20) - (done ? written.size() : 0), 'x');
        QVERIFY(ReadBytes(d + "stick") == (done ? written : "") + rest);  // byte for byte
    }
#endif
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc == 5 && std::strcmp(argv[1], "--as-user") == 0) {
        platform::ActiveDiskService();  // as at the program's start: installs the privileged opener
        const auto temp = platform::TempDirectory::Create();
        return temp && RunJob(std::strcmp(argv[2], "write") == 0, argv[3], argv[4], temp->Path())
                   ? 0
                   : 1;
    }
    UDisksTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_udisks.moc"
