// The UDisks2 backend against the system's real udisksd (root only): loop
// devices with ext4 mounted through UDisks2 and unmounted through the unmount
// service, and device access for an ordinary user through polkit.
//
// The program doubles as the helper that runs as that user:
//   test_udisks_real --open-and-write /dev/loopN

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QScopeGuard>
#include <QtTest>
#include <cerrno>
#include <cstring>
#include <thread>

#include "StorageDeviceHandler.h"
#include "platform/UDisksService.h"
#include "support/CaptureFd.h"
#include "support/TestSupport.h"

using testsupport::CaptureFd;
using testsupport::LoopDevice;
using testsupport::Run;
using testsupport::ShellQuote;

namespace {

constexpr int kWaitMs = 30000;  // bound for things that must happen, not a measure
constexpr int kBlockSize = 4096;

const QString kService = QStringLiteral("org.freedesktop.UDisks2");
const QString kFilesystem = QStringLiteral("org.freedesktop.UDisks2.Filesystem");

int g_calls = 0;
bool g_result = false;
void Done(bool ok) {
    ++g_calls;
    g_result = ok;
}

void Drain() {
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
}

QString BlockObject(const std::string& bsdName) {
    return QStringLiteral("/org/freedesktop/UDisks2/block_devices/") +
           QString::fromStdString(bsdName);
}

// udisksd learns of a new loop device only from a "change" uevent.
void AnnounceToUDisks(const std::string& bsdName) {
    Run("echo change > /sys/class/block/" + bsdName + "/uevent; udevadm settle");
}

bool KnownToBackend(const std::string& bsdName) {
    return QTest::qWaitFor(
        [&] { return platform::ActiveDiskService().Describe(bsdName).has_value(); }, kWaitMs);
}

// Mounts a block's file system through UDisks2; returns the mount point.
QString MountThroughUDisks(const std::string& bsdName) {
    QDBusConnection bus = QDBusConnection::systemBus();
    QString mountPoint;
    // The Filesystem interface appears once udisksd has probed the block.
    (void)QTest::qWaitFor(
        [&] {
            QDBusMessage call = QDBusMessage::createMethodCall(
                kService, BlockObject(bsdName), kFilesystem, QStringLiteral("Mount"));
            call << QVariantMap{};
            const QDBusMessage reply = bus.call(call, QDBus::Block, kWaitMs);
            if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
                mountPoint = reply.arguments().at(0).toString();
            return !mountPoint.isEmpty();
        },
        kWaitMs);
    return mountPoint;
}

bool Mounted(const QString& mountPoint) {
    const std::string info = testsupport::ReadBytes("/proc/self/mountinfo");
    return info.find(" " + mountPoint.toStdString() + " ") != std::string::npos;
}

// An ext4 file system on a loop device that udisksd knows: on the whole
// device, or (partitioned) on its first partition. Detached, with anything
// still mounted from it, at the end.
struct Ext4Loop {
    QTemporaryDir dir{QStringLiteral("/var/tmp/udisks-test-XXXXXX")};
    std::string path;  // "/dev/loopN"
    std::string why;

    std::string BsdName() const { return path.substr(5); }
    bool Make(bool partitioned = false) {
        const std::string image = ShellQuote(dir.filePath("disk.img").toStdString());
        std::string command = "truncate -s 64M " + image;
        if (partitioned) command += " && echo 'start=2048, type=83' | sfdisk -q " + image;
        command += " && losetup -f --show " + std::string(partitioned ? "-P " : "") + image;
        if (Run(command + " 2>&1", &why) != 0 || why.rfind("/dev/loop", 0) != 0) return false;
        path = why.substr(0, why.find('\n'));
        // Kernels without partition table parsers still take partitions
        // added from user space.
        if (partitioned) Run("partx -a " + path + " 2>/dev/null");
        Run("udevadm settle");
        const std::string fsNode = partitioned ? path + "p1" : path;
        if (Run("mkfs.ext4 -q -F " + fsNode + " 2>&1", &why) != 0) return false;
        if (partitioned) AnnounceToUDisks(BsdName() + "p1");
        AnnounceToUDisks(BsdName());
        return true;
    }
    ~Ext4Loop() {
        if (path.empty()) return;
        Run("for m in $(awk '{for (i = 7; i <= NF; i++) if ($i == \"-\") {"
            " if ($(i + 2) ~ \"^" +
            path +
            "(p[0-9]+)?$\") print $5; break }}' /proc/self/mountinfo);"
            " do umount -l \"$m\"; done; losetup -d " +
            path);
    }
};

// --open-and-write: run as an ordinary user. Exit 0 after writing one block
// of 'U' through a descriptor from UDisks2; 2 if the user could open the node
// directly (the test would prove nothing); 3 with "errno=N" when refused.
int OpenAndWrite(const char* path) {
    const int direct = open(path, O_WRONLY);
    if (direct >= 0 || errno != EACCES) {
        std::printf("direct open: %s\n", direct >= 0 ? "succeeded" : std::strerror(errno));
        return 2;
    }
    int fd = -1, error = 0;
    // The opener runs where the application runs it: on a worker thread.
    std::thread worker([&] {
        fd = platform::OpenDeviceThroughUDisks(path, O_EXCL | O_CLOEXEC | O_DIRECT, &error);
    });
    worker.join();
    if (fd < 0) {
        std::printf("errno=%d\n", error);
        return 3;
    }
    void* buffer = nullptr;
    if (posix_memalign(&buffer, kBlockSize, kBlockSize) != 0) return 4;
    std::memset(buffer, 'U', kBlockSize);
    const bool ok = write(fd, buffer, kBlockSize) == kBlockSize && fsync(fd) == 0;
    free(buffer);
    close(fd);
    std::printf(ok ? "written\n" : "write failed\n");
    return ok ? 0 : 5;
}

}  // namespace

class UDisksRealTest : public QObject {
    Q_OBJECT
    std::unique_ptr<CaptureFd> m_out;

  private slots:
    void init() {
        REQUIRE_ROOT();
        const int status = Run("bash " TEST_SOURCE_DIR "/support/system-services.sh start 2>&1");
        REQUIRE_OR_SKIP(status == 0, "the system's udisksd could not be started");
        qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        platform::InstallDiskService(nullptr);
        platform::ResetDiskService();
        QVERIFY(QTest::qWaitFor(
            [] {
                return dynamic_cast<platform::UDisksService&>(platform::ActiveDiskService())
                    .Loaded();
            },
            kWaitMs));
        g_calls = 0;
        InitDeviceHandling();
    }
    void cleanup() {
        FinalizeDeviceHandling();
        platform::ResetDiskService();
    }

    void unmountsAMountedLoopDevice() {
        Ext4Loop disk;
        QVERIFY2(disk.Make(), disk.why.c_str());
        const std::string name = disk.BsdName();
        QVERIFY(KnownToBackend(name));

        // Loop devices have no drive, so they are never listed.
        {
            StorageDeviceHandler handler;
            CaptureFd err(2);
            handler.AddToRunLoop();
            Drain();
            handler.RemoveFromRunLoop();
            handler.UpdateDeviceList();
            for (const auto& entry : handler.GetDeviceList())
                QVERIFY(std::string(entry->bsdName) != name);
            QVERIFY(err.Text().find("disk " + name + " found") == std::string::npos);
        }

        const QString mountPoint = MountThroughUDisks(name);
        QVERIFY(!mountPoint.isEmpty());
        QVERIFY(Mounted(mountPoint));
        CaptureFd out(1);
        QVERIFY(StorageDeviceHandler::UnMountBSDDevice(disk.path.c_str(), Done));
        QTRY_COMPARE_WITH_TIMEOUT(g_calls, 1, kWaitMs);
        QVERIFY(g_result);
        QVERIFY(!Mounted(mountPoint));
        QCOMPARE(out.Text(), std::string("successfully unmounted\n"));

        // A path the service does not know: refused, never called back.
        QVERIFY(!StorageDeviceHandler::UnMountBSDDevice("/dev/imagewriter-none", Done));
        QVERIFY(StorageDeviceHandler::UnMountBSDDevice(disk.path.c_str(), Done));
        QTRY_COMPARE_WITH_TIMEOUT(g_calls, 2, kWaitMs);  // nothing mounted: true
        QVERIFY(g_result);
        QTest::qWait(200);
        QCOMPARE(g_calls, 2);
    }

    void busyMountIsUnmountedByForce() {
        Ext4Loop disk;
        QVERIFY2(disk.Make(), disk.why.c_str());
        QVERIFY(KnownToBackend(disk.BsdName()));
        const QString mountPoint = MountThroughUDisks(disk.BsdName());
        QVERIFY(!mountPoint.isEmpty());

        // Busy: an open file and a process whose working directory is inside.
        const int file =
            open(QFile::encodeName(mountPoint + "/held").constData(), O_CREAT | O_WRONLY, 0600);
        QVERIFY(file >= 0);
        auto closeFile = qScopeGuard([&] { close(file); });
        QProcess holder;
        holder.setWorkingDirectory(mountPoint);
        holder.start(QStringLiteral("sleep"), {QStringLiteral("600")});
        QVERIFY(holder.waitForStarted());
        auto stopHolder = qScopeGuard([&] {
            holder.kill();
            holder.waitForFinished();
        });
        QVERIFY(Run("umount " + ShellQuote(mountPoint.toStdString()) + " 2>/dev/null") != 0);

        QVERIFY(StorageDeviceHandler::UnMountBSDDevice(disk.path.c_str(), Done));
        QTRY_COMPARE_WITH_TIMEOUT(g_calls, 1, kWaitMs);
        QVERIFY(g_result);
        QVERIFY(!Mounted(mountPoint));
    }

    void unmountsThePartitionsOfTheDisk() {
        Ext4Loop disk;
        QVERIFY2(disk.Make(true), disk.why.c_str());
        const std::string partition = disk.BsdName() + "p1";
        QVERIFY(KnownToBackend(partition));
        QCOMPARE(platform::ActiveDiskService().Describe(partition)->mediaWhole,
                 std::optional(false));
        const QString mountPoint = MountThroughUDisks(partition);
        QVERIFY(!mountPoint.isEmpty());

        QVERIFY(StorageDeviceHandler::UnMountBSDDevice(disk.path.c_str(), Done));
        QTRY_COMPARE_WITH_TIMEOUT(g_calls, 1, kWaitMs);
        QVERIFY(g_result);
        QVERIFY(!Mounted(mountPoint));
        // The exclusive open the writer makes now succeeds.
        const int fd = open(disk.path.c_str(), O_WRONLY | O_EXCL);
        QVERIFY2(fd >= 0, std::strerror(errno));
        close(fd);
    }

    void ordinaryUserOpensThroughPolkit() {
        // A user of our own, a copy of this program it can run, a loop device
        // it cannot open by itself.
        const std::string user = "imgwtest" + std::to_string(getpid());
        const std::string rule = "/etc/polkit-1/rules.d/10-" + user + ".rules";
        QTemporaryDir dir(QStringLiteral("/var/tmp/udisks-user-XXXXXX"));
        auto cleanupAll = qScopeGuard([&] {
            Run("rm -f " + ShellQuote(rule));
            Run("userdel " + user + " 2>/dev/null");
        });
        QCOMPARE(
            Run("useradd --system --no-create-home --shell /usr/sbin/nologin " + user + " 2>&1"),
            0);
        const passwd* pw = getpwnam(user.c_str());
        QVERIFY(pw != nullptr);
        const std::string uid = std::to_string(pw->pw_uid), gid = std::to_string(pw->pw_gid);
        QCOMPARE(chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
        const std::string helper = dir.filePath("helper").toStdString();
        QVERIFY(
            QFile::copy(QCoreApplication::applicationFilePath(), QString::fromStdString(helper)));
        QCOMPARE(chmod(helper.c_str(), 0755), 0);

        const std::string image = dir.filePath("stick.img").toStdString();
        QVERIFY(testsupport::WriteBytes(image, std::string(1 << 20, '\0')));
        LoopDevice loop;
        std::string why;
        QVERIFY2(loop.Attach(image, false, &why), why.c_str());
        AnnounceToUDisks(loop.BsdName());
        QVERIFY(KnownToBackend(loop.BsdName()));

        const std::string runAsUser = "cd / && timeout 300 setpriv --reuid=" + uid +
                                      " --regid=" + gid + " --clear-groups " + helper +
                                      " --open-and-write " + loop.Path() + " 2>&1";
        // Without a rule polkit refuses (there is no agent to ask): a failure,
        // not a hang.
        std::string output;
        QCOMPARE(Run(runAsUser, &output), 3);
        QCOMPARE(output, std::string("errno=") + std::to_string(EACCES) + "\n");

        // With one, the user gets a descriptor and writes through it.
        QVERIFY(testsupport::WriteBytes(
            rule,
            "polkit.addRule(function(action, subject) {\n"
            "    if (action.id.indexOf(\"org.freedesktop.udisks2.open-device\") == 0 &&\n"
            "        subject.user == \"" +
                user +
                "\")\n"
                "        return polkit.Result.YES;\n"
                "});\n"));
        // polkitd picks the rule up on its own, a moment later.
        int status = -1;
        QVERIFY(QTest::qWaitFor([&] { return (status = Run(runAsUser, &output)) != 3; }, kWaitMs));
        QCOMPARE(status, 0);
        QCOMPARE(output, std::string("written\n"));
        Run("blockdev --flushbufs " + loop.Path());
        QCOMPARE(testsupport::ReadBytes(loop.Path(), kBlockSize + 1),
                 std::string(kBlockSize, 'U') + '\0');
    }
};

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--open-and-write") == 0) {
        QCoreApplication app(argc, argv);
        return OpenAndWrite(argv[2]);
    }
    QCoreApplication app(argc, argv);
    UDisksRealTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_udisks_real.moc"
