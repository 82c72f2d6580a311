// Opening device nodes for writing: plain files, character devices, real
// loop devices (exclusive, direct, sector size) and the privileged fallback.

#include <fcntl.h>
#include <sys/fsuid.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <QtTest>

#include "platform/DeviceAccess.h"
#include "support/TestSupport.h"

using platform::OpenDeviceForWriting;
using platform::OpenedDevice;

namespace {

int FdFlags(int fd) {
    return fcntl(fd, F_GETFL);
}

// The privileged opener of these tests stands in for UDisks2: it opens with
// full rights what the caller (running with a dropped file-system uid) may not.
std::string g_openerPath;
int g_openerFlags = 0;
int g_openerCalls = 0;
int RootOpener(const char* path, int flags, int* error) {
    ++g_openerCalls;
    g_openerPath = path;
    g_openerFlags = flags;
    setfsuid(0);
    const int fd = open(path, flags);
    *error = fd < 0 ? errno : 0;
    setfsuid(65534);
    return fd;
}

}  // namespace

class DeviceAccessTest : public QObject {
    Q_OBJECT
  private slots:
    void regularFilesAndRefusedNodes() {
        QTemporaryDir dir(QStringLiteral("/var/tmp/device-access-XXXXXX"));
        const std::string root = dir.path().toStdString();
        const std::string file = root + "/disk.img";
        QVERIFY(testsupport::WriteBytes(file, std::string(4096, 'x')));

        OpenedDevice d = OpenDeviceForWriting(file.c_str(), true);
        QVERIFY(d.fd >= 0);
        QVERIFY(!d.blockDevice);
        QVERIFY(!d.direct);  // direct I/O is for disks only
        QCOMPARE(FdFlags(d.fd) & (O_ACCMODE | O_DIRECT | O_APPEND), O_WRONLY);
        QVERIFY(fcntl(d.fd, F_GETFD) & FD_CLOEXEC);
        close(d.fd);
        QCOMPARE(testsupport::ReadBytes(file), std::string(4096, 'x'));  // not truncated

        // A node that is not there is never created.
        const std::string missing = root + "/sdz";
        d = OpenDeviceForWriting(missing.c_str(), true);
        QCOMPARE(d.fd, -1);
        QCOMPARE(d.error, ENOENT);
        QVERIFY(access(missing.c_str(), F_OK) != 0);
        QCOMPARE(OpenDeviceForWriting("", false).fd, -1);

        QCOMPARE(OpenDeviceForWriting(root.c_str(), false).error, EISDIR);
        // A FIFO is refused at once instead of blocking until a reader comes.
        const std::string fifo = root + "/fifo";
        QCOMPARE(mkfifo(fifo.c_str(), 0600), 0);
        d = OpenDeviceForWriting(fifo.c_str(), false);
        QCOMPARE(d.fd, -1);
        QCOMPARE(d.error, ENXIO);

        // /dev/null is a sink for tests: writable, and flushing it succeeds
        // although fsync refuses it. A failing device is a failure.
        d = OpenDeviceForWriting("/dev/null", true);
        QVERIFY(d.fd >= 0);
        QVERIFY(!d.direct);
        QCOMPARE(platform::WriteAll(d.fd, "abc", 3), std::size_t(3));
        QVERIFY(platform::FlushDevice(d.fd));
        close(d.fd);
        d = OpenDeviceForWriting("/dev/full", false);
        QVERIFY(d.fd >= 0);
        QCOMPARE(platform::WriteAll(d.fd, "abc", 3), std::size_t(0));
        QCOMPARE(errno, ENOSPC);
        close(d.fd);
    }

    void blockDeviceIsExclusiveAndDirect() {
        REQUIRE_ROOT();
        QTemporaryDir dir(QStringLiteral("/var/tmp/device-access-XXXXXX"));
        const std::string backing = dir.path().toStdString() + "/backing.img";
        QVERIFY(testsupport::WriteBytes(backing, std::string(4 << 20, '\0')));

        testsupport::LoopDevice loop;
        std::string why;
        QVERIFY2(loop.Attach(backing, false, &why), why.c_str());
        OpenedDevice d = OpenDeviceForWriting(loop.Path().c_str(), true);
        QVERIFY(d.fd >= 0);
        QVERIFY(d.blockDevice);
        QVERIFY(d.direct);
        QVERIFY(FdFlags(d.fd) & O_DIRECT);
        QCOMPARE(d.logicalBlockSize, 512);
        // Held exclusively: a second writer (or a mount) is refused.
        const OpenedDevice second = OpenDeviceForWriting(loop.Path().c_str(), false);
        QCOMPARE(second.fd, -1);
        QCOMPARE(second.error, EBUSY);
        QVERIFY(platform::SetDirect(d.fd, false));
        QVERIFY(!(FdFlags(d.fd) & O_DIRECT));
        close(d.fd);

        d = OpenDeviceForWriting(loop.Path().c_str(), false);
        QVERIFY(d.fd >= 0);
        QVERIFY(!d.direct);
        close(d.fd);

        // The sector size comes from the device, not an assumption of 512.
        loop.Detach();
        std::string path;
        QCOMPARE(
            testsupport::Run(
                "losetup --sector-size 4096 -f --show " + testsupport::ShellQuote(backing), &path),
            0);
        path = path.substr(0, path.find('\n'));
        d = OpenDeviceForWriting(path.c_str(), true);
        const int lbs = d.logicalBlockSize;
        if (d.fd >= 0) close(d.fd);
        testsupport::Run("losetup -d " + testsupport::ShellQuote(path));
        QCOMPARE(lbs, 4096);
    }

    void mountedDeviceIsRefused() {
        REQUIRE_ROOT();
        QTemporaryDir dir(QStringLiteral("/var/tmp/device-access-XXXXXX"));
        const std::string backing = dir.path().toStdString() + "/fs.img";
        const std::string mountPoint = dir.path().toStdString() + "/mnt";
        QVERIFY(testsupport::WriteBytes(backing, std::string(8 << 20, '\0')));
        QCOMPARE(mkdir(mountPoint.c_str(), 0700), 0);
        testsupport::LoopDevice loop;
        QVERIFY(loop.Attach(backing));
        QCOMPARE(testsupport::Run("mkfs.ext4 -q " + loop.Path() + " 2>&1"), 0);
        QCOMPARE(mount(loop.Path().c_str(), mountPoint.c_str(), "ext4", 0, nullptr), 0);
        const OpenedDevice d = OpenDeviceForWriting(loop.Path().c_str(), true);
        umount(mountPoint.c_str());
        if (d.fd >= 0) close(d.fd);
        QCOMPARE(d.fd, -1);
        QCOMPARE(d.error, EBUSY);
    }

    void privilegedOpenerOnPermissionDenied() {
        REQUIRE_ROOT();
        QTemporaryDir dir(QStringLiteral("/var/tmp/device-access-XXXXXX"));
        const std::string root = dir.path().toStdString();
        QCOMPARE(chmod(root.c_str(), 0755), 0);
        const std::string file = root + "/disk.img";
        QVERIFY(testsupport::WriteBytes(file, std::string(1 << 20, '\0')));
        QCOMPARE(chmod(file.c_str(), 0600), 0);
        testsupport::LoopDevice loop;
        QVERIFY(loop.Attach(file));

        // Drop the file-system rights of this thread, as an ordinary user.
        setfsuid(65534);
        platform::SetPrivilegedOpener(nullptr);
        const OpenedDevice refused = OpenDeviceForWriting(loop.Path().c_str(), true);

        platform::SetPrivilegedOpener(&RootOpener);
        const OpenedDevice viaOpener = OpenDeviceForWriting(loop.Path().c_str(), true);
        const int diskOpenerFlags = g_openerFlags;
        const std::string diskOpenerPath = g_openerPath;
        const OpenedDevice fileViaOpener = OpenDeviceForWriting(file.c_str(), true);
        const int fileOpenerFlags = g_openerFlags;
        const int callsBefore = g_openerCalls;
        const OpenedDevice missing = OpenDeviceForWriting((root + "/none").c_str(), true);
        const int callsAfter = g_openerCalls;
        setfsuid(0);
        platform::SetPrivilegedOpener(nullptr);

        QCOMPARE(refused.fd, -1);
        QCOMPARE(refused.error, EACCES);

        QVERIFY(viaOpener.fd >= 0);
        QCOMPARE(diskOpenerPath, loop.Path());
        QCOMPARE(diskOpenerFlags, O_WRONLY | O_CLOEXEC | O_EXCL | O_DIRECT);
        QVERIFY(viaOpener.blockDevice);
        QVERIFY(viaOpener.direct);
        QCOMPARE(viaOpener.logicalBlockSize, 512);
        close(viaOpener.fd);

        QVERIFY(fileViaOpener.fd >= 0);
        QCOMPARE(fileOpenerFlags, O_WRONLY | O_CLOEXEC);  // no O_EXCL/O_DIRECT for a file
        QVERIFY(!fileViaOpener.blockDevice);
        close(fileViaOpener.fd);

        // Only a refusal for lack of rights goes to the opener.
        QCOMPARE(missing.error, ENOENT);
        QCOMPARE(callsAfter, callsBefore);
    }
};

QTEST_GUILESS_MAIN(DeviceAccessTest)
#include "test_device_access.moc"
