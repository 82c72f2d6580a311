// The write pipeline against bad input and failing surroundings (damaged
// images, missing gunzip, full or read-only temporary directories, missing,
// read-only and too small devices), byte-exact writes onto real loop devices,
// hostile path names and path limits.

#include <sys/mount.h>
#include <unistd.h>

#include <QtTest>

#include "test_writer_support.h"

using namespace writertest;

namespace {

std::string g_lastCommand;
int CountingRunner(const char* command) {
    g_lastCommand = command;
    return std::system(command);
}

// A pattern-filled backing file on a loop device, read back after detaching.
struct LoopDisk {
    std::string backing;
    std::string path;
    LoopDisk(const std::string& file, std::size_t size, const std::string& options)
        : backing(file) {
        testsupport::WriteBytes(backing, std::string(size, '\xA5'));
        testsupport::Run("losetup -f --show " + options + " " + backing, &path);
        path = path.substr(0, path.find('\n'));
    }
    ~LoopDisk() { Detach(); }
    void Detach() {
        if (!path.empty()) testsupport::Run("losetup -d " + path);
        path.clear();
    }
};

}  // namespace

class WriterFaultsTest : public QObject {
    Q_OBJECT
  private slots:
    void cleanup() { writer_seams::SetCommandRunner(nullptr); }

    void badImagesFailBeforeTheDevice() {
        Workspace ws;
        const std::string device = ws.root + "device.img";
        QVERIFY(testsupport::WriteBytes(device, std::string(MiB, 'Z')));
        const std::string good = ws.root + "good.gz";
        QVERIFY(MakeGzip(good, Pattern(2 * MiB, 1)));
        const std::string gz = testsupport::ReadBytes(good);

        const std::string damaged = ws.root + "damaged.gz";
        QVERIFY(testsupport::WriteBytes(damaged, gz.substr(0, 20) + Pattern(4096, 2)));
        const std::string truncated = ws.root + "truncated.gz";
        QVERIFY(testsupport::WriteBytes(truncated, gz.substr(0, gz.size() / 2)));
        const std::string vanished = ws.root + "vanished.gz";
        QVERIFY(testsupport::WriteBytes(vanished, gz));

        for (const std::string& image : {damaged, truncated, vanished}) {
            DeviceImageWriter writer;
            writer.SetTempDirectory(ws.temp.c_str());
            writer.SetImageFile(image.c_str());
            writer.SetDevice(device.c_str());
            if (image == vanished) std::remove(vanished.c_str());
            OpenWatch watch(device);
            QVERIFY2(RunJob(writer).Failed(), image.c_str());
            QVERIFY(!watch.Opened());
            QVERIFY(ProgressCalls().empty());
            // Left for the next job to overwrite; the device is untouched.
            QVERIFY(Exists(ws.TempImage()));
        }
        QCOMPARE(testsupport::ReadBytes(device), std::string(MiB, 'Z'));
    }

    void gunzipMissingFromSearchPath() {
        Workspace ws;
        const std::string image = ws.root + "image.gz";
        QVERIFY(MakeGzip(image, Pattern(MiB, 3)));
        const std::string device = ws.root + "device.img";
        QVERIFY(testsupport::WriteBytes(device, "Z"));
        const std::string emptyBin = ws.root + "bin";
        QDir().mkpath(QString::fromStdString(emptyBin));
        DeviceImageWriter writer;
        writer.SetTempDirectory(ws.temp.c_str());
        writer.SetImageFile(image.c_str());
        writer.SetDevice(device.c_str());
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", QByteArray::fromStdString(emptyBin));
        OpenWatch watch(device);
        const Outcome outcome = RunJob(writer);
        qputenv("PATH", path);
        QVERIFY(outcome.Failed());
        QVERIFY(!watch.Opened());
        QVERIFY(RunJob(writer).Succeeded());  // and with gunzip back, it works
    }

    void temporaryDirectoryFullOrReadOnly() {
        REQUIRE_ROOT();
        Workspace ws;
        const std::string image = ws.root + "image.gz";
        QVERIFY(MakeGzip(image, Pattern(4 * MiB, 4)));
        const std::string device = ws.root + "device.img";
        QVERIFY(testsupport::WriteBytes(device, std::string(5 * MiB, 'Z')));
        const std::string other = ws.root + "other.gz";
        QVERIFY(MakeGzip(other, "keep"));
        const std::pair<unsigned long, const char*> mounts[] = {{0, "size=1m"},
                                                                {MS_RDONLY, "size=8m"}};
        for (const auto& [flags, options] : mounts) {
            const std::string mountPoint = ws.root + "mnt/";
            QDir().mkpath(QString::fromStdString(mountPoint));
            QCOMPARE(mount("tmpfs", mountPoint.c_str(), "tmpfs", flags, options), 0);
            DeviceImageWriter writer;
            writer.SetTempDirectory(mountPoint.c_str());
            writer.SetImageFile(image.c_str());
            writer.SetDevice(device.c_str());
            OpenWatch watch(device);
            const Outcome outcome = RunJob(writer);
            const bool opened = watch.Opened();
            QCOMPARE(umount(mountPoint.c_str()), 0);
            QVERIFY2(outcome.Failed(), options);
            QVERIFY(!opened);
        }
        QCOMPARE(testsupport::ReadBytes(device), std::string(5 * MiB, 'Z'));
        QVERIFY(Exists(image));
        QVERIFY(Exists(other));
    }

    void missingDeviceIsNotCreated() {
        Workspace ws;
        const std::string image = ws.root + "image.gz";
        QVERIFY(MakeGzip(image, Pattern(MiB, 5)));
        const std::string device = ws.root + "sdz";
        DeviceImageWriter writer;
        writer.SetTempDirectory(ws.temp.c_str());
        writer.SetImageFile(image.c_str());
        writer.SetDevice(device.c_str());
        QVERIFY(RunJob(writer).Failed());
        QVERIFY(!Exists(device));
        QVERIFY(!Exists(ws.TempImage()));  // removed after the device failed
    }

    void loopDevicesGetExactlyTheImage() {
        REQUIRE_ROOT();
        Workspace ws;
        struct Case {
            std::size_t size;
            const char* losetupOptions;
        };
        const Case cases[] = {
            {9388608, ""},                                        // tail not whole sectors
            {9388608, "--direct-io=on --sector-size 4096"},       // same, 4096-byte sectors
            {8 * MiB + 512 * 1024 + 1536, "--sector-size 4096"},  // 3 sectors of 512, not 4096
            {9 * MiB + 3 * 4096, "--direct-io=on --sector-size 4096"},  // whole-sector tail
            {16 * MiB, "--direct-io=on"},                               // whole chunks
        };
        std::uint64_t seed = 20;
        for (const Case& c : cases) {
            const std::string image = ws.root + "image.gz";
            const std::string content = Pattern(c.size, seed++);
            QVERIFY(MakeGzip(image, content));
            LoopDisk disk(ws.root + "disk.img", 20 * MiB, c.losetupOptions);
            QVERIFY(!disk.path.empty());
            DeviceImageWriter writer;
            writer.SetTempDirectory(ws.temp.c_str());
            writer.SetImageFile(image.c_str());
            writer.SetDevice(disk.path.c_str());
            QVERIFY2(RunJob(writer).Succeeded(), c.losetupOptions);
            disk.Detach();
            QVERIFY2(testsupport::ReadBytes(disk.backing) ==
                         content + std::string(20 * MiB - c.size, '\xA5'),
                     c.losetupOptions);
        }
    }

    void readOnlyOrTooSmallDevice() {
        REQUIRE_ROOT();
        Workspace ws;
        const std::string image = ws.root + "image.gz";
        const std::string content = Pattern(9388608, 30);
        QVERIFY(MakeGzip(image, content));
        {
            LoopDisk disk(ws.root + "ro.img", 16 * MiB, "-r");
            DeviceImageWriter writer;
            writer.SetTempDirectory(ws.temp.c_str());
            writer.SetImageFile(image.c_str());
            writer.SetDevice(disk.path.c_str());
            QVERIFY(RunJob(writer).Failed());
            disk.Detach();
            QVERIFY(testsupport::ReadBytes(disk.backing) == std::string(16 * MiB, '\xA5'));
            QVERIFY(!Exists(ws.TempImage()));
        }
        {
            // The first chunk runs into the end of a 6 MiB disk.
            LoopDisk disk(ws.root + "small.img", 6 * MiB, "--direct-io=on");
            DeviceImageWriter writer;
            writer.SetTempDirectory(ws.temp.c_str());
            writer.SetImageFile(image.c_str());
            writer.SetDevice(disk.path.c_str());
            QVERIFY(RunJob(writer).Failed());
            QCOMPARE(ProgressCalls(), (std::vector<std::pair<int, int>>{{1, 1}}));
            QVERIFY(!Exists(ws.TempImage()));
        }
    }

    void failedFlushIsAFailure() {
        // A loop device over a sparse file on a full tmpfs: buffered writes
        // land in the page cache, and only the flush finds that the disk
        // cannot take them.
        REQUIRE_ROOT();
        Workspace ws;
        const std::string image = ws.root + "image.gz";
        QVERIFY(MakeGzip(image, Pattern(1000, 60)));  // the tail only: a buffered write
        const std::string mountPoint = ws.root + "mnt";
        QDir().mkpath(QString::fromStdString(mountPoint));
        QCOMPARE(mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=1m"), 0);
        const std::string backing = mountPoint + "/disk.img";
        testsupport::Run("truncate -s 16M " + backing + "; cat /dev/zero > " + mountPoint +
                         "/fill 2>/dev/null");
        std::string loop;
        testsupport::Run("losetup -f --show " + backing, &loop);
        loop = loop.substr(0, loop.find('\n'));
        DeviceImageWriter writer;
        writer.SetTempDirectory(ws.temp.c_str());
        writer.SetImageFile(image.c_str());
        writer.SetDevice(loop.c_str());
        const Outcome outcome = RunJob(writer);
        const bool cleared = writer.ClearDevice();
        testsupport::Run("losetup -d " + loop);
        umount2(mountPoint.c_str(), MNT_DETACH);
        QVERIFY(!loop.empty());
        QVERIFY(outcome.Failed());
        QVERIFY(!cleared);
    }

    void hostilePathsAreQuoted() {
        Workspace ws;
        const std::string device = ws.root + "device.img";
        const std::string cwd = QDir::currentPath().toStdString();
        QVERIFY(QDir::setCurrent(QString::fromStdString(ws.root)));
        // What a path run through the shell unquoted would touch.
        QVERIFY(testsupport::WriteBytes(ws.root + "t", "victim"));
        QDir().mkpath(QString::fromStdString(ws.root + "x"));
        QVERIFY(testsupport::WriteBytes(ws.root + "x/veskImage.img", "victim"));
        const std::string inject = "$(touch INJ1) `touch INJ2` ;touch INJ3; ";
        struct Case {
            std::string imageDir;  // relative to the workspace, may be empty
            std::string imageName;
            std::string tempDir;
        };
        const Case cases[] = {
            {"img \"q\" $HOME \\z " + inject + "\nnext", "a b'c.gz", ws.temp},
            {"", "--help", ws.temp},  // would be an option of gunzip
            {"", "image.gz", ws.root + "t x/"},
            {"", "image.gz", ws.root + "tmp " + inject + "'s' \"d\" \\ *\n/"},
            {"", "image.gz", "-tmp/"},  // relative, would be an option of rm
        };
        std::uint64_t seed = 40;
        for (const Case& c : cases) {
            if (!c.imageDir.empty()) QDir().mkpath(QString::fromStdString(ws.root + c.imageDir));
            QDir().mkpath(QString::fromStdString(c.tempDir));
            const std::string image =
                (c.imageDir.empty() ? c.imageName : c.imageDir + "/" + c.imageName);
            const std::string content = Pattern(MiB + 7, seed++);
            QVERIFY(MakeGzip(ws.root + image, content));
            QVERIFY(testsupport::WriteBytes(device, std::string(2 * MiB, 'Z')));
            DeviceImageWriter writer;
            writer.SetTempDirectory(c.tempDir.c_str());
            writer.SetImageFile(image.c_str());  // relative to the workspace
            writer.SetDevice(device.c_str());
            QVERIFY2(writer.ImageFileValid(), image.c_str());
            QVERIFY2(RunJob(writer).Succeeded(), (image + " | " + c.tempDir).c_str());
            QVERIFY(testsupport::ReadBytes(device) == content + std::string(MiB - 7, 'Z'));
            QVERIFY(QDir(QString::fromStdString(c.tempDir)).isEmpty());
        }
        QVERIFY(QDir::setCurrent(QString::fromStdString(cwd)));
        for (const char* marker : {"INJ1", "INJ2", "INJ3"})
            QVERIFY2(testsupport::Run("find " + testsupport::ShellQuote(ws.root) + " -name " +
                                      marker + " | grep -q .") != 0,
                     marker);
        QCOMPARE(testsupport::ReadBytes(ws.root + "t"), std::string("victim"));
        QCOMPARE(testsupport::ReadBytes(ws.root + "x/veskImage.img"), std::string("victim"));
    }

    void pathLimitsAreRefused() {
        Workspace ws;
        // A directory of exactly `length` bytes (with its trailing "/").
        auto directoryOf = [&](std::size_t length, const std::string& filler) {
            std::string dir = ws.root;
            while (dir.size() + 102 < length) dir += std::string(100, filler[0]) + "/";
            dir += std::string(length - dir.size() - 1, filler[0]) + "/";
            QDir().mkpath(QString::fromStdString(dir));
            return dir;
        };
        const std::string temp498 = directoryOf(498, "t");
        const std::string temp499 = directoryOf(499, "u");
        // 497 + 498 = 995: the longest accepted pair, a 1023-byte command.
        const std::string imageDir = directoryOf(497 - 8, "i");
        const std::string image497 = imageDir + "image.gz";
        QCOMPARE(image497.size(), std::size_t(497));
        QVERIFY(MakeGzip(image497, Pattern(MiB, 50)));
        const std::string image498 = imageDir + "image.gz2";
        QVERIFY(MakeGzip(image498, Pattern(MiB, 50)));
        // Within 995 bytes, but its escaped command exceeds 1023.
        const std::string dollarDir = directoryOf(900, "$");
        const std::string dollars = dollarDir + "image.gz";
        QVERIFY(MakeGzip(dollars, Pattern(MiB, 51)));

        DeviceImageWriter writer;
        writer.SetDevice("/dev/null");
        writer_seams::SetCommandRunner(&CountingRunner);
        struct Case {
            std::string image, temp;
            bool accepted;
        };
        const Case cases[] = {
            {image497, temp498, true},  {image497, temp499, false},  // temporary directory over 498
            {image498, temp498, false},                              // together over 995
            {dollars, ws.temp, false},  // command over 1023 once escaped
            {image497, "", false},      // no temporary directory at all
        };
        for (const Case& c : cases) {
            writer.SetTempDirectory(c.temp.c_str());
            writer.SetImageFile(c.image.c_str());
            QVERIFY(writer.ImageFileValid());
            g_lastCommand.clear();
            const Outcome outcome = RunJob(writer);
            if (c.accepted) {
                QVERIFY(outcome.Succeeded());
                QCOMPARE(g_lastCommand.size(), std::size_t(3 + 498 + 13));  // rm
            } else {
                QVERIFY(!outcome.started);
                QCOMPARE(outcome.completions, 0);
                QVERIFY(g_lastCommand.empty());  // nothing ran
            }
        }
    }
};

QTEST_GUILESS_MAIN(WriterFaultsTest)
#include "test_writer_faults.moc"
