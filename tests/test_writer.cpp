// The writer object and its write pipeline against real files, real gzip and
// /dev/null: settings, clearing, command texts and trace, progress sequences,
// images of 2 GiB and more, cancellation, and the decompression thread that
// no write thread took over.

#include <fcntl.h>
#include <unistd.h>

#include <QtTest>
#include <memory>
#include <thread>

#include "test_writer_support.h"

using namespace writertest;

namespace {

// Command runner that records what runs, and can hold the decompression
// command at a gate (before or after it runs) until the test opens it.
struct CommandLog {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> commands;
    enum Gate { None, BeforeRun, AfterRun } gate = None;
    bool atGate = false;
    bool gateOpen = false;
    std::string replaceDecompression;  // run instead of gunzip when set
    bool returned = false;
};
CommandLog g_log;

int RecordingRunner(const char* command) {
    std::unique_lock lock(g_log.mutex);
    g_log.commands.emplace_back(command);
    const bool decompress = std::string(command).rfind("gunzip", 0) == 0;
    const std::string toRun =
        decompress && !g_log.replaceDecompression.empty() ? g_log.replaceDecompression : command;
    auto waitAtGate = [&] {
        g_log.atGate = true;
        g_log.changed.notify_all();
        g_log.changed.wait(lock, [] { return g_log.gateOpen; });
    };
    if (decompress && g_log.gate == CommandLog::BeforeRun) waitAtGate();
    lock.unlock();
    const int status = std::system(toRun.c_str());
    lock.lock();
    if (decompress && g_log.gate == CommandLog::AfterRun) waitAtGate();
    g_log.returned = true;
    return status;
}

void ResetLog(CommandLog::Gate gate = CommandLog::None) {
    std::lock_guard lock(g_log.mutex);
    g_log.commands.clear();
    g_log.gate = gate;
    g_log.atGate = g_log.gateOpen = g_log.returned = false;
    g_log.replaceDecompression.clear();
}
void WaitAtGate() {
    std::unique_lock lock(g_log.mutex);
    g_log.changed.wait(lock, [] { return g_log.atGate; });
}
void OpenGate() {
    std::lock_guard lock(g_log.mutex);
    g_log.gateOpen = true;
    g_log.changed.notify_all();
}
std::vector<std::string> Commands() {
    std::lock_guard lock(g_log.mutex);
    return g_log.commands;
}

// Thread starter that can refuse the write thread, and hold a decompression
// thread before it reads its record.
bool g_failWriteThread = false;
bool g_holdUnzipThread = false;
struct Held {
    void* (*start)(void*);
    void* argument;
};
void* HeldStart(void* p) {
    const Held held = *static_cast<Held*>(p);
    delete static_cast<Held*>(p);
    {
        std::unique_lock lock(g_log.mutex);
        g_log.changed.wait(lock, [] { return g_log.gateOpen; });
    }
    return held.start(held.argument);
}
int TestStarter(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*),
                void* argument) {
    if (start == &WriteImageThread && g_failWriteThread) return EAGAIN;
    if (start == &UnzipThread && g_holdUnzipThread)
        return pthread_create(thread, attributes, &HeldStart, new Held{start, argument});
    return pthread_create(thread, attributes, start, argument);
}

std::string Calls(const std::vector<std::pair<int, int>>& calls) {
    std::string text;
    for (const auto& [total, current] : calls)
        text += "(" + std::to_string(total) + "," + std::to_string(current) + ")";
    return text;
}

// A regular file standing in for a device: `size` bytes of 'Z'.
std::string MakeDeviceFile(const Workspace& ws, std::size_t size) {
    const std::string path = ws.root + "device.img";
    testsupport::WriteBytes(path, std::string(size, 'Z'));
    return path;
}

}  // namespace

class WriterTest : public QObject {
    Q_OBJECT
  private slots:
    void cleanup() {
        writer_seams::SetCommandRunner(nullptr);
        writer_seams::SetThreadStarter(nullptr);
    }

    void settingsAndStrings() {
        std::string s = "old";
        SetString(&s, "");
        QVERIFY(s.empty());
        SetString(&s, "new");
        QCOMPARE(s, std::string("new"));

        DeviceImageWriter writer;
        QCOMPARE(writer.TempDirectory(), std::string("/tmp"));
        QVERIFY(writer.ImageFile().empty());
        QVERIFY(writer.DevicePath().empty());
        QVERIFY(!writer.ImageFileValid());

        Workspace ws;
        const std::string image = ws.root + "image.gz";
        QVERIFY(MakeGzip(image, "data"));
        writer.SetImageFile(image.c_str());
        QVERIFY(writer.ImageFileValid());
        writer.SetImageFile((ws.root + "missing.gz").c_str());  // keeps the earlier path
        QVERIFY(!writer.ImageFileValid());
        QCOMPARE(writer.ImageFile(), image);
        writer.SetImageFile("");
        QVERIFY(!writer.ImageFileValid());

        // No device path: refused, the cancel flag untouched, nothing opened.
        writer.SetDevice("");
        QVERIFY(!writer.ClearDevice());
        const int threads = ThreadCount();
        writer.StopImageWriting();
        QVERIFY(g_cancelThread);
        QVERIFY(!writer.WriteImage(&Finished, &Progress));
        QVERIFY(g_cancelThread);
        // No valid image: refused, but the flag was cleared for the job.
        writer.SetDevice("/dev/null");
        QVERIFY(!writer.WriteImage(&Finished, &Progress));
        QVERIFY(!g_cancelThread);
        QCOMPARE(ThreadCount(), threads);
        QCOMPARE(Completions(), 0);
    }

    void fileSizeIsSixtyFourBit() {
        Workspace ws;
        const std::string missing = ws.root + "none";
        QVERIFY(!FileExists(missing.c_str()));
        QCOMPARE(FileSize(missing.c_str()), std::int64_t(-1));
        const std::string small = ws.root + "small";
        QVERIFY(testsupport::WriteBytes(small, std::string(12345, 'a')));
        QVERIFY(FileExists(small.c_str()));
        QCOMPARE(FileSize(small.c_str()), std::int64_t(12345));
        const std::string sparse = ws.root + "sparse";
        const std::int64_t big = (std::int64_t(3) << 30) + 7;
        QVERIFY(testsupport::WriteBytes(sparse, ""));
        QCOMPARE(truncate(sparse.c_str(), big), 0);
        QCOMPARE(FileSize(sparse.c_str()), big);
    }

    void clearDevice() {
        Workspace ws;
        DeviceImageWriter writer;
        const std::string longer = ws.root + "long";
        QVERIFY(testsupport::WriteBytes(longer, std::string(3000, 'x')));
        writer.SetDevice(longer.c_str());
        QVERIFY(writer.ClearDevice());
        QCOMPARE(testsupport::ReadBytes(longer), std::string(1024, '\0') + std::string(1976, 'x'));

        const std::string shorter = ws.root + "short";
        QVERIFY(testsupport::WriteBytes(shorter, "abc"));
        writer.SetDevice(shorter.c_str());
        QVERIFY(writer.ClearDevice());
        QCOMPARE(testsupport::ReadBytes(shorter), std::string(1024, '\0'));

        const std::string missing = ws.root + "sdz";
        writer.SetDevice(missing.c_str());
        QVERIFY(!writer.ClearDevice());
        QVERIFY(!Exists(missing));  // no node is created

        writer.SetDevice("/dev/null");  // nothing to flush: still a success
        QVERIFY(writer.ClearDevice());
        writer.SetDevice("/dev/full");  // the write fails
        QVERIFY(!writer.ClearDevice());
    }

    void clearBlockDevice() {
        REQUIRE_ROOT();
        Workspace ws;
        const std::string backing = ws.root + "backing.img";
        const std::string content = Pattern(1 << 20, 7);
        QVERIFY(testsupport::WriteBytes(backing, content));
        std::string loopPath;
        QCOMPARE(testsupport::Run("losetup --sector-size 4096 -f --show " + backing, &loopPath), 0);
        loopPath = loopPath.substr(0, loopPath.find('\n'));
        DeviceImageWriter writer;
        writer.SetDevice(loopPath.c_str());
        // Held exclusively by someone else: refused, nothing written.
        const int holder = open(loopPath.c_str(), O_RDONLY | O_EXCL);
        const bool clearedWhileHeld = writer.ClearDevice();
        close(holder);
        const bool cleared = writer.ClearDevice();
        testsupport::Run("losetup -d " + loopPath);
        QVERIFY(!clearedWhileHeld);
        QVERIFY(cleared);  // 1024 bytes on a 4096-byte-sector disk
        QCOMPARE(testsupport::ReadBytes(backing), std::string(1024, '\0') + content.substr(1024));

        std::string roPath;
        QCOMPARE(testsupport::Run("losetup -r -f --show " + backing, &roPath), 0);
        roPath = roPath.substr(0, roPath.find('\n'));
        writer.SetDevice(roPath.c_str());
        const bool clearedReadOnly = writer.ClearDevice();
        testsupport::Run("losetup -d " + roPath);
        QVERIFY(!clearedReadOnly);
    }

    void commandTextsAndTrace() {
        Workspace ws;
        const std::string image = ws.root + "image.imgz";
        const std::string content = Pattern(3 * MiB, 1);
        QVERIFY(MakeGzip(image, content));
        const std::string device = MakeDeviceFile(ws, 4 * MiB);
        DeviceImageWriter writer;
        writer.SetTempDirectory(ws.temp.c_str());
        writer.SetImageFile(image.c_str());
        writer.SetDevice(device.c_str());
        ResetLog();
        writer_seams::SetCommandRunner(&RecordingRunner);

        // The trace goes to standard output: capture it in a file.
        const std::string traceFile = ws.root + "trace.txt";
        std::fflush(stdout);
        const int savedStdout = dup(1);
        const int traceFd = open(traceFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(traceFd, 1);
        const bool ok = RunJob(writer).Succeeded();
        std::fflush(stdout);
        dup2(savedStdout, 1);
        close(savedStdout);
        close(traceFd);
        QVERIFY(ok);

        const std::vector<std::string> expected = {
            "gunzip -c \"" + image + "\" > " + ws.temp + "veskImage.img",
            "rm " + ws.temp + "veskImage.img"};
        QCOMPARE(Commands(), expected);
        QCOMPARE(testsupport::ReadBytes(device), content + std::string(MiB, 'Z'));

        const QStringList lines = QString::fromStdString(testsupport::ReadBytes(traceFile))
                                      .split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 6);
        auto at = [&](const char* line) { return lines.indexOf(QLatin1String(line)); };
        QVERIFY(at("UnzipThread started!") >= 0);
        QVERIFY(at("UnzipThread started!") < at("UnzipThread finished!"));
        QVERIFY(at("UnzipThread finished!") < at("WriteImageThread running!"));
        QVERIFY(at("WriteImageThread started!") >= 0);
        QVERIFY(at("WriteImageThread started!") < at("WriteImageThread waiting for join!"));
        QVERIFY(at("WriteImageThread waiting for join!") < at("WriteImageThread running!"));
        QCOMPARE(lines.last(), QStringLiteral("WriteImageThread finished!"));
    }

    void progressAndContent() {
        Workspace ws;
        const std::string device = MakeDeviceFile(ws, 24 * MiB);
        DeviceImageWriter writer;
        writer.SetTempDirectory(ws.temp.c_str());
        writer.SetDevice(device.c_str());
        struct Case {
            std::size_t size;
            bool withProgress;
            const char* calls;
        };
        const Case cases[] = {
            {20 * MiB, true, "(2,1)(2,2)(2,3)"},  // last chunk 4 MiB: blocks only
            {16 * MiB, true, "(2,1)(2,2)"},       // third read finds the end
            {9388608, true, "(1,1)(1,2)"},        // 1,000,000-byte tail: blocks + remainder
            {3 * MiB, true, "(0,1)"},             // total 0: the one chunk still reported
            {9388608, false, ""},                 // no progress callback
            {0, true, ""},                        // empty image: nothing written, success
        };
        std::uint64_t seed = 10;
        for (const Case& c : cases) {
            const std::string image = ws.root + "image" + std::to_string(seed) + ".gz";
            const std::string content = Pattern(c.size, seed++);
            QVERIFY(MakeGzip(image, content));
            QVERIFY(testsupport::WriteBytes(device, std::string(24 * MiB, 'Z')));
            writer.SetImageFile(image.c_str());
            OpenWatch watch(device);
            QVERIFY2(RunJob(writer, c.withProgress).Succeeded(), std::to_string(c.size).c_str());
            QVERIFY(watch.Opened());  // also for the empty image
            QCOMPARE(Calls(ProgressCalls()), std::string(c.calls));
            QVERIFY(testsupport::ReadBytes(device) ==
                    content + std::string(24 * MiB - c.size, 'Z'));
            QVERIFY(!Exists(ws.TempImage()));
        }
    }

    void progressOfManyChunks() {
        // 1600 MiB: only sizes matter, so a sparse file stands in for the
        // decompressed image and /dev/null for the device.
        Workspace ws;
        const std::string image = ws.root + "image.gz";
        QVERIFY(MakeGzip(image, "x"));
        DeviceImageWriter writer;
        writer.SetTempDirectory(ws.temp.c_str());
        writer.SetImageFile(image.c_str());
        writer.SetDevice("/dev/null");
        ResetLog();
        g_log.replaceDecompression = "truncate -s 1600M " + ws.TempImage();
        writer_seams::SetCommandRunner(&RecordingRunner);
        QVERIFY(RunJob(writer).Succeeded());
        std::vector<std::pair<int, int>> expected = {{200, 1}};
        for (int chunk = 2; chunk <= 200; chunk += 2) expected.emplace_back(200, chunk);
        QCOMPARE(ProgressCalls().size(), std::size_t(101));
        QCOMPARE(Calls(ProgressCalls()), Calls(expected));
        QVERIFY(!Exists(ws.TempImage()));
    }

    void imageOverTwoGiB() {
        // 2 GiB + 3 MiB + 5 decompressed, from a small multi-member gzip file.
        Workspace ws;
        const std::string image = ws.root + "big.gz";
        const std::string zeros = testsupport::ShellQuote(ws.root + "zeros.gz");
        QCOMPARE(testsupport::Run("head -c 64M /dev/zero | gzip -1 -n > " + zeros), 0);
        QCOMPARE(testsupport::Run("for i in $(seq 32); do cat " + zeros + "; done > " +
                                  testsupport::ShellQuote(image)),
                 0);
        const std::string tail = ws.root + "tail.gz";
        QVERIFY(MakeGzip(tail, Pattern(3 * MiB + 5, 3)));
        QCOMPARE(testsupport::Run("cat " + testsupport::ShellQuote(tail) + " >> " +
                                  testsupport::ShellQuote(image)),
                 0);
        DeviceImageWriter writer;
        writer.SetTempDirectory(ws.temp.c_str());
        writer.SetImageFile(image.c_str());
        writer.SetDevice("/dev/null");
        QVERIFY(RunJob(writer).Succeeded());
        const auto calls = ProgressCalls();
        QCOMPARE(calls.size(), std::size_t(101));  // one per percent
        QCOMPARE(calls.front(), std::make_pair(256, 1));
        QCOMPARE(calls.back(), std::make_pair(256, 256));
        for (const auto& call : calls) QCOMPARE(call.first, 256);
        QVERIFY(!Exists(ws.TempImage()));
    }

    void cancellation() {
        Workspace ws;
        const std::string device = MakeDeviceFile(ws, 48 * MiB);
        const std::string image = ws.root + "image.gz";
        const std::string content = Pattern(40 * MiB, 5);
        QVERIFY(MakeGzip(image, content));
        DeviceImageWriter writer;
        writer.SetTempDirectory(ws.temp.c_str());
        writer.SetImageFile(image.c_str());
        writer.SetDevice(device.c_str());
        writer_seams::SetCommandRunner(&RecordingRunner);

        // During decompression, and after it before the first chunk: the
        // device is not written, the temporary file is removed.
        for (auto gate : {CommandLog::BeforeRun, CommandLog::AfterRun}) {
            ResetLog(gate);
            ResetReports();
            OpenWatch watch(device);
            const int threads = ThreadCount();
            QVERIFY(writer.WriteImage(&Finished, &Progress));
            WaitAtGate();
            writer.StopImageWriting();
            OpenGate();
            QVERIFY(WaitFor([](Reports& r) { return r.completions == 1; }));
            QVERIFY(WaitForThreadCount(threads));
            QVERIFY(!reports().result);
            QVERIFY(ProgressCalls().empty());
            QCOMPARE(Commands().size(), std::size_t(2));  // gunzip, rm
            QVERIFY(watch.Opened());                      // opened and closed,
            QVERIFY(!watch.Modified());                   // not written
            QVERIFY(testsupport::ReadBytes(device) == std::string(48 * MiB, 'Z'));
            QVERIFY(!Exists(ws.TempImage()));
        }

        // In the middle: stopped while chunk 2 is reported; chunk 3 is read
        // but not written.
        ResetLog();
        ResetReports();
        const int threads = ThreadCount();
        reports().gateChunk = 2;
        QVERIFY(writer.WriteImage(&Finished, &Progress));
        QVERIFY(WaitFor([](Reports& r) { return r.atGate; }));
        writer.StopImageWriting();
        {
            std::lock_guard lock(reports().mutex);
            reports().gateOpen = true;
            reports().changed.notify_all();
        }
        QVERIFY(WaitFor([](Reports& r) { return r.completions == 1; }));
        QVERIFY(WaitForThreadCount(threads));
        QVERIFY(!reports().result);
        QCOMPARE(Calls(ProgressCalls()), std::string("(5,1)(5,2)"));
        QVERIFY(testsupport::ReadBytes(device) ==
                content.substr(0, 16 * MiB) + std::string(32 * MiB, 'Z'));
        QVERIFY(!Exists(ws.TempImage()));

        // The next jobs start uncancelled, also after a stop with no job.
        QVERIFY(RunJob(writer).Succeeded());
        QVERIFY(testsupport::ReadBytes(device) == content + std::string(8 * MiB, 'Z'));
        writer.StopImageWriting();
        QVERIFY(RunJob(writer).Succeeded());
        QCOMPARE(Calls(ProgressCalls()), std::string("(5,1)(5,2)(5,3)(5,4)(5,5)"));
    }

    void strandedDecompressionThreadIsJoinedFirst() {
        // The write thread cannot be started: the decompression thread runs
        // on alone. The next job must wait for it before refilling its record.
        Workspace ws;
        const std::string first = ws.root + "first.gz";
        const std::string second = ws.root + "second.gz";
        const std::string content = Pattern(MiB, 8);
        QVERIFY(MakeGzip(first, Pattern(MiB, 9)));
        QVERIFY(MakeGzip(second, content));
        const std::string device = MakeDeviceFile(ws, 2 * MiB);
        DeviceImageWriter writer;
        writer.SetTempDirectory(ws.temp.c_str());
        writer.SetImageFile(first.c_str());
        writer.SetDevice(device.c_str());
        ResetLog();
        writer_seams::SetCommandRunner(&RecordingRunner);
        writer_seams::SetThreadStarter(&TestStarter);
        g_failWriteThread = true;
        g_holdUnzipThread = true;  // held before it reads its record
        ResetReports();
        const int threads = ThreadCount();
        QVERIFY(!writer.WriteImage(&Finished, &Progress));
        QCOMPARE(ThreadCount(), threads + 1);
        QCOMPARE(Completions(), 0);

        g_failWriteThread = false;
        g_holdUnzipThread = false;
        writer.SetImageFile(second.c_str());
        std::thread opener([] {
            QTest::qSleep(300);  // lets WriteImage reach the stranded thread
            OpenGate();
        });
        const bool ok = RunJob(writer).Succeeded();
        opener.join();
        QVERIFY(ok);
        const std::vector<std::string> commands = Commands();
        QCOMPARE(commands.size(), std::size_t(3));
        QVERIFY(commands[0].find("first.gz") != std::string::npos);
        QVERIFY(commands[1].find("second.gz") != std::string::npos);
        QVERIFY(testsupport::ReadBytes(device) == content + std::string(MiB, 'Z'));
        QCOMPARE(ThreadCount(), threads);
    }

    void destroyingCancelsStrandedDecompression() {
        Workspace ws;
        const std::string image = ws.root + "image.gz";
        QVERIFY(MakeGzip(image, "x"));
        const int threads = ThreadCount();
        ResetReports();
        ResetLog(CommandLog::None);
        // exec: the shell becomes the sleep, so ending the shell ends it too.
        g_log.replaceDecompression = "exec sleep 600 >/dev/null 2>&1";
        writer_seams::SetCommandRunner(&RecordingRunner);
        writer_seams::SetThreadStarter(&TestStarter);
        g_failWriteThread = true;
        auto writer = std::make_unique<DeviceImageWriter>();
        writer->SetTempDirectory(ws.temp.c_str());
        writer->SetImageFile(image.c_str());
        writer->SetDevice("/dev/null");
        QVERIFY(!writer->WriteImage(&Finished, &Progress));
        // Wait until the command runs, then destroy: the thread is cancelled
        // rather than waited for, and is gone afterwards.
        while (Commands().empty()) QTest::qSleep(5);
        writer.reset();
        QCOMPARE(ThreadCount(), threads);
        std::lock_guard lock(g_log.mutex);
        QVERIFY(!g_log.returned);
        QCOMPARE(Completions(), 0);
    }
};

QTEST_GUILESS_MAIN(WriterTest)
#include "test_writer.moc"
