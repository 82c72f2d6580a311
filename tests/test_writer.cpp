// The writer as the window uses it (one writer, job after job), on real loop
// devices with the real decompressors: what reaches the device, the result,
// progress and trace lines, ImageBytes, WrittenBytes, the read-back, the
// temporary file, and that no decompressor outlives the job.

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QtTest>
#include <csignal>
#include <fstream>
#include <future>
#include <mutex>
#include <string_view>
#include <thread>

#include "DeviceImageWriter.h"
#include "platform/files/ImageContent.h"
#include "support/FakeStick.h"
#include "support/TestSupport.h"
#include "window/ImageSummary.h"
#include "writer/ImageCopy.h"

namespace {

constexpr qint64 MiB = 1024 * 1024, kSmall = 12 * MiB;
constexpr qint64 kTampered = MiB + 1;  // in the 3-byte tail of the usual MiB + 3 image
// Quotes, expansions and a leading "-" (an option to gunzip if unguarded).
const std::string kHostile = "-$(touch x) `id` \"q\" 'a' \\ ;.gz";
// 2 GiB + 3 MiB of zeros, quickly: gzip members of 64 MiB one after the other.
const char kHugeImage[] =
    "; head -c 64M /dev/zero | gzip >z; cat $(yes z | head -32) >image.gz; "
    "head -c 3M /dev/zero | gzip >>image.gz";
// A job's trace, each thread's lines in order, the decompression's first.
const char kTrace[] =
    "UnzipThread started!|UnzipThread finished!|WriteImageThread started!|"
    "WriteImageThread waiting for join!|WriteImageThread running!|WriteImageThread finished!";
const char kVerified[] = "Verification started!|Verification succeeded!";
const char kDamaged[] = "Image is damaged: its content is not what its name promises";
// zstd records the size only when it knows it: from standard input, when told.
const char kZstdSized[] = "sh -c 'zstd -1 -q --stream-size=$(stat -Lc %s /dev/stdin)'";
// Frames of 1 MiB, each recording its size (zstd does for a file).
const char kZstdFrames[] =
    "sh -c 'd=$(mktemp -d); split -b 1M - $d/p; for p in $d/p*; do zstd -q -c $p; done; rm -r $d'";
// 20 MiB: at the first progress call the decompressor is still running, since the writer
// holds at most 8 MiB beyond the chunk just written, and the pipe 1 MiB.
constexpr qint64 kLong = 20 * MiB;

// What the running job reported; only the test's thread touches the trace.
std::mutex g_mutex;
struct Reports {
    std::string tempImage{}, trace{}, calls{};
    int finished = 0;
    bool result = false, tempLeft = false;
    std::size_t children = 0;  // child processes left when the callback ran
    // What the progress call does: "cancel", "tamper", "kill" (the decompressor), "append" (an
    // xz stream to the image, which the decompressor has not read to its end yet).
    std::string_view hook{};
    std::string loop{}, backing{}, image{};
    qint64 at = kTampered;
    char byte = 0;  // "tamper": byte `at` of the backing file becomes this
} g_job;
DeviceImageWriter g_writer;  // one for all rows, as the window has

// This process's children, zombies included.
std::vector<pid_t> Children() {
    std::vector<pid_t> pids;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream in(task.path() / "children");
        for (pid_t pid; in >> pid;) pids.push_back(pid);
    }
    return pids;
}

void Finished(bool success) {
    std::lock_guard lock(g_mutex);
    ++g_job.finished;
    g_job.result = success;
    g_job.tempLeft = access(g_job.tempImage.c_str(), F_OK) == 0;
    g_job.children = Children().size();
}

void Progress(std::int32_t total, std::int32_t current) {
    std::lock_guard lock(g_mutex);
    if (g_job.hook == "kill" && g_job.calls.empty())
        for (pid_t child : Children()) kill(child, SIGKILL);
    if (g_job.hook == "threads" && g_job.calls.empty())  // the decompressor's threads: 1 + decoders
        for (pid_t child : Children())
            if (std::distance(
                    std::filesystem::directory_iterator("/proc/" + std::to_string(child) + "/task"),
                    {}) > 2)
                g_job.calls += "+";
    if (g_job.hook == "append")
        g_job.calls += testsupport::Run("head -c 9 /dev/zero | xz >>" + g_job.image) ? "!" : "";
    g_job.calls += "(" + std::to_string(total) + "," + std::to_string(current) + ")";
    if (g_writer.ImageBytes() < 0) g_job.calls += " while the size is unknown";  // the window asks
    // A "cancel" or "tamper" row of one chunk: this is the write's end, before the read-back.
    if (g_job.hook == "cancel") g_writer.StopImageWriting();
    // A stick that keeps other bytes than it took: the tail that went through the device's
    // page cache is flushed, then the loop device's backing file changes behind that cache (the
    // loop driver reads it through the backing file's page cache, which this write updates).
    if (g_job.hook == "tamper") {
        const int dev = open(g_job.loop.c_str(), O_RDONLY | O_CLOEXEC);
        const int fd = open(g_job.backing.c_str(), O_WRONLY | O_CLOEXEC);
        if (fsync(dev) != 0 || pwrite(fd, &g_job.byte, 1, g_job.at) != 1) g_job.calls += "!";
        close(dev);
        close(fd);
    }
}

// Runs one job with standard output in a pipe that starts full, so both threads stop at their
// first trace line until the test has looked at the new job (and cancelled it, if asked); then
// reads the trace up to the job's last line. Returns whether it started, and ImageBytes() then.
std::pair<bool, qint64> RunJob(bool cancel, Reports job) {
    g_job = std::move(job);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return {false, 0};
    const std::string filler(fcntl(fds[1], F_GETPIPE_SZ), '\n');
    if (write(fds[1], filler.data(), filler.size()) < 0) return {false, 0};
    std::fflush(stdout);
    const int saved = dup(1);
    dup2(fds[1], 1);
    close(fds[1]);
    const bool started = g_writer.WriteImage(&Finished, &Progress);
    const qint64 bytesAtStart = g_writer.ImageBytes();
    if (cancel) g_writer.StopImageWriting();
    char buffer[4096];
    for (ssize_t n; started &&
                    g_job.trace.find("WriteImageThread finished!") == std::string::npos &&
                    (n = read(fds[0], buffer, sizeof buffer)) > 0;)
        g_job.trace.append(buffer, static_cast<std::size_t>(n));
    dup2(saved, 1);
    close(saved);
    close(fds[0]);
    return {started, bytesAtStart};
}

// What blkid finds at the start of a device (a partition table, a file system); "" when nothing.
std::string Probed(const std::string& device) {
    std::string found;
    testsupport::Run("blkid -p -o export " + device, &found);
    return found;
}

// `path` (ending in "/") lengthened by directories of `fill` to `length` bytes.
std::string Padded(std::string path, std::size_t length, char fill) {
    while (path.size() + 101 < length) path += std::string(100, fill) + "/";
    path += std::string(length - path.size() - 1, fill) + "/";
    QDir().mkpath(QString::fromStdString(path));
    return path;
}

// One row's world under /var/tmp (a loop device, tmpfs mounts), undone at its end.
struct World {
    QTemporaryDir dir{QStringLiteral("/var/tmp/writer-test-XXXXXX")};
    const std::string root = dir.path().toStdString() + "/";
    std::string backing = root + "disk.img", loop;
    testsupport::LoopDevice device;
    testsupport::FakeStick fake;
    std::vector<std::string> mounts;
    int holder = -1;
    ~World() {
        if (holder >= 0) close(holder);
        for (const std::string& m : mounts) umount2(m.c_str(), MNT_DETACH);
    }
    std::string Tmpfs(const std::string& name) {  // 1 MiB at root/name/
        const std::string path = root + name + "/";
        QDir().mkpath(QString::fromStdString(path));
        if (mount("tmpfs", path.c_str(), "tmpfs", 0, "size=1m") == 0) mounts.push_back(path);
        return path;
    }
    // "loop", "small", "4k" (4096-byte sectors, direct I/O in the loop driver),
    // "ro", "held" (held exclusively, as by a mount): filled with 0xA5; "full":
    // a sparse backing file that cannot grow; "frozen", "gone", "dies": filled,
    // on a fake stick that ignores writes, is pulled out at the first, or dies
    // after 12 MiB written. content: a command run in
    // root that writes over the fill of disk.img.
    bool Attach(std::string_view kind, const std::string& content = "") {
        if (kind == "full") backing = Tmpfs("full") + "disk.img";
        testsupport::Run(kind == "full"
                             ? "truncate -s 24M " + backing + "; cat /dev/zero >" + backing + "-"
                             : "head -c " + std::string(kind == "small" ? "12M" : "24M") +
                                   " /dev/zero | tr '\\0' '\\245' >" + backing);
        if (!content.empty() && testsupport::Run("cd " + root + " && (" + content + ")") != 0)
            return false;
        if (kind == "frozen" || kind == "gone" || kind == "dies") {  // the fill as its flash
            if (!fake.Start({.claimedBytes = 24 * MiB,
                             .mode = kind == "frozen" ? "frozen" : "genuine",
                             .failAfter = kind == "gone"   ? 0
                                          : kind == "dies" ? 12 * MiB
                                                           : -1}))
                return false;
            testsupport::Run("cp " + backing + " " + fake.StorePath());
            backing = fake.StorePath();
            loop = fake.Device();
            return !loop.empty();
        }
        device.Attach(backing, kind == "ro"   ? "-r"
                               : kind == "4k" ? "--direct-io=on --sector-size 4096"
                                              : "");
        loop = device.Path();
        if (kind == "held") holder = open(loop.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
        return !loop.empty() && (kind != "held" || holder >= 0);
    }
};

// Row::written: the whole image when the job succeeds, else nothing; the whole image; as much
// as WrittenBytes() says (how far a failing decompressor gets is its own business).
constexpr qint64 kIfOk = -1, kAll = -2, kSome = -3;

struct Row {
    const char* name;
    qint64 size = MiB + 3;  // decompressed bytes
    // "": random bytes; "hostile", "huge" (zeros), "damaged" (cut short), "corrupt" (its last 4
    // bytes, a zstd frame's checksum, zeroed), "fifo", "missing"
    std::string_view image = "", dev = "loop";
    std::string_view temp = "";             // "": of its own; "hostile", "missing", "full", "none"
    std::size_t imageLen = 0, tempLen = 0;  // paths padded to these lengths
    char fill = 'i';
    const char *file = "image.gz", *pack = "gzip -1 -n";  // name, compressor ("": raw)
    bool verify = false;
    std::string_view hook = "";  // see Reports
    qint64 at = kTampered;       // "tamper": the byte that changes
    bool noTools = false;        // PATH holds no decompressor
    bool cancel = false, starts = true, unzips = true, ok = false;
    qint64 written = kIfOk;  // bytes the job leaves on the device, or one of the three below
    const char* calls = "";  // (total,current) of each progress call; with kSome, the first ones
    const char* lines = "";  // trace lines besides the threads' own
    WriteFailure::Kind why = WriteFailure::None;  // what the window is told of a failure
};

// One row per line.
// clang-format off
const Row kRows[] = {
    {.name = "empty image", .size = 0, .why = WriteFailure::Empty},
    {.name = "odd tail", .ok = true, .calls = "(0,1)"},
    {.name = "one whole chunk", .size = 8 * MiB, .ok = true, .calls = "(1,1)"},
    {.name = "three chunks", .size = 17 * MiB, .ok = true, .calls = "(2,1)(2,2)(2,3)"},
    {.name = "4096-byte sectors", .size = MiB + 1536, .dev = "4k", .ok = true, .calls = "(0,1)"},
    {.name = "hostile paths", .image = "hostile", .temp = "hostile", .ok = true, .calls = "(0,1)"},
    {.name = "device too small", .size = 17 * MiB, .dev = "small", .lines = "Image is larger than the device: 17825792 bytes > 12582912 bytes", .why = WriteFailure::TooLarge},
    {.name = "raw image too large", .size = 13 * MiB, .dev = "small", .file = "image.img", .pack = "", .lines = "Image is larger than the device: 13631488 bytes > 12582912 bytes", .why = WriteFailure::TooLarge},
    // A stick that takes no writes fails the capacity probe, before the image's first byte.
    {.name = "read-only device", .dev = "ro", .lines = "Capacity probe failed: Operation not permitted", .why = WriteFailure::ProbeFailed},
    {.name = "device in use", .dev = "held", .why = WriteFailure::CannotOpen},
    {.name = "device full", .size = 1000, .dev = "full", .lines = "Capacity probe failed: No space left on device", .why = WriteFailure::ProbeFailed},
    {.name = "stick dies mid-write", .size = 17 * MiB, .dev = "dies", .written = kSome, .calls = "(2,1)", .why = WriteFailure::WriteStopped},
    {.name = "damaged image", .image = "damaged", .unzips = false, .why = WriteFailure::Damaged},
    {.name = "FIFO image", .image = "fifo", .unzips = false, .why = WriteFailure::NotReadable},
    {.name = "missing image", .image = "missing", .unzips = false, .why = WriteFailure::NotReadable},
    {.name = "temporary directory missing", .temp = "missing", .unzips = false, .why = WriteFailure::NoTempSpace},
    {.name = "temporary directory full", .size = 17 * MiB, .temp = "full", .unzips = false, .why = WriteFailure::NoTempSpace},
    {.name = "cancelled before the first chunk", .size = 17 * MiB, .cancel = true, .why = WriteFailure::Cancelled},
    {.name = "no temporary directory", .temp = "none", .starts = false},
    {.name = "longest paths", .imageLen = 497, .tempLen = 498, .ok = true, .calls = "(0,1)"},
    {.name = "temporary directory too long", .imageLen = 497, .tempLen = 499, .starts = false},
    {.name = "paths too long together", .imageLen = 498, .tempLen = 498, .starts = false},
    {.name = "command too long once quoted", .imageLen = 700, .fill = '$', .starts = false},
    {.name = "over 2 GiB", .size = 2150629376, .image = "huge", .dev = "small", .lines = "Image is larger than the device: 2150629376 bytes > 12582912 bytes", .why = WriteFailure::TooLarge},
    // Through a 1 MiB temporary directory: a streamed image is not copied there.
    {.name = "xz", .temp = "full", .file = "image.img.xz", .pack = "xz -1", .verify = true, .ok = true, .calls = "(0,1)", .lines = kVerified},
    {.name = "zstd, size not recorded", .size = 17 * MiB, .file = "image.ZST", .pack = "zstd -1 -q", .ok = true, .calls = "(2,1)(2,2)(2,3)"},
    {.name = "bzip2", .file = "image.bz2", .pack = "bzip2 -1", .verify = true, .ok = true, .calls = "(0,1)", .lines = kVerified},
    {.name = "gzip content, raw name", .file = "image.img", .ok = true, .calls = "(0,1)"},
    // 17 MiB through a 1 MiB temporary directory: a raw image is not copied there.
    {.name = "raw", .size = 17 * MiB, .temp = "full", .file = "image.iso", .pack = "", .verify = true, .ok = true, .calls = "(2,1)(2,2)(2,3)", .lines = kVerified},
    {.name = "raw, odd tail", .size = MiB + 1537, .dev = "4k", .file = "image.bin", .pack = "", .verify = true, .ok = true, .calls = "(0,1)", .lines = kVerified},
    {.name = "xz name, gzip content", .file = "image.xz", .unzips = false, .lines = kDamaged, .why = WriteFailure::Misnamed},
    {.name = "xz name, raw content", .file = "image.Xz", .pack = "", .unzips = false, .lines = kDamaged, .why = WriteFailure::Misnamed},
    {.name = "device returns other bytes", .verify = true, .hook = "tamper", .written = kAll, .calls = "(0,1)", .lines = "Verification started!|Verification failed at byte 1048577", .why = WriteFailure::Mismatch},
    {.name = "cancelled during verification", .verify = true, .hook = "cancel", .written = kAll, .calls = "(0,1)", .lines = "Verification started!", .why = WriteFailure::Cancelled},
    // xz, and zstd when the frame records its size, stream from the decompressor.
    {.name = "zstd, size recorded", .size = 17 * MiB, .temp = "full", .file = "image.zst", .pack = kZstdSized, .verify = true, .ok = true, .calls = "(2,1)(2,2)(2,3)", .lines = kVerified},
    {.name = "xz, many blocks", .size = 17 * MiB, .file = "image.xz", .pack = "xz -1 -T2 --block-size=1MiB", .verify = true, .ok = true, .calls = "(2,1)(2,2)(2,3)", .lines = kVerified},
    {.name = "xz cut short", .image = "damaged", .file = "image.xz", .pack = "xz -1", .unzips = false, .lines = "Cannot list the image's size: xz exited with status 1", .why = WriteFailure::Damaged},
    {.name = "xz not in PATH", .file = "image.xz", .pack = "xz -1", .noTools = true, .unzips = false, .lines = "Cannot list the image's size: xz could not be started: No such file or directory", .why = WriteFailure::ToolMissing},
    {.name = "zstd corrupt", .image = "corrupt", .file = "image.zst", .pack = kZstdSized, .written = kSome, .lines = "Decompression failed: zstd exited with status 1", .why = WriteFailure::Damaged},
    {.name = "xz longer than its index", .size = kLong, .file = "image.xz", .pack = "xz -1", .hook = "append", .written = kLong - MiB, .calls = "(2,1)(2,2)(2,3)", .lines = "Decompression failed: xz gave more than the 20971520 bytes its index announced", .why = WriteFailure::Damaged},
    {.name = "xz killed", .size = kLong, .file = "image.xz", .pack = "xz -1", .hook = "kill", .written = kSome, .calls = "(2,1)", .lines = "Decompression failed: xz was killed by signal 9", .why = WriteFailure::Damaged},
    {.name = "xz cancelled", .size = kLong, .file = "image.xz", .pack = "xz -1", .hook = "cancel", .written = 7 * MiB, .calls = "(2,1)", .why = WriteFailure::Cancelled},
    {.name = "xz too large", .size = 13 * MiB, .dev = "small", .file = "image.xz", .pack = "xz -1", .lines = "Image is larger than the device: 13631488 bytes > 12582912 bytes", .why = WriteFailure::TooLarge},
    {.name = "zstd, a frame a MiB", .size = 17 * MiB, .temp = "full", .file = "image.zst", .pack = kZstdFrames, .verify = true, .ok = true, .calls = "(2,1)(2,2)(2,3)", .lines = kVerified},
    {.name = "zstd cut short", .image = "damaged", .file = "image.zst", .pack = kZstdSized, .unzips = false, .lines = "Cannot list the image's size: zstd frames damaged or cut short at byte 0", .why = WriteFailure::Damaged},
    {.name = "xz, device returns other bytes", .size = 5 * MiB, .file = "image.xz", .pack = "xz -1", .verify = true, .hook = "tamper", .at = 4 * MiB + 1, .written = kAll, .calls = "(0,1)", .lines = "Verification started!|Verification failed at byte 4194305", .why = WriteFailure::Mismatch},
};

// Installers: a hybrid ISO; a GPT disk with ext4 in its partition.
const char kIso[] =
    "mkdir -p iso/isolinux && cp /usr/lib/ISOLINUX/isolinux.bin iso/isolinux && xorriso -as mkisofs "
    "-quiet -V INSTALLER -o x.iso -isohybrid-mbr /usr/lib/ISOLINUX/isohdpfx.bin -b isolinux/isolinux.bin "
    "-c isolinux/boot.cat -no-emul-boot -boot-load-size 4 -boot-info-table iso 2>/dev/null && dd "
    "if=x.iso of=disk.img conv=notrunc status=none";
const char kGpt[] =
    "sgdisk -o -n 1:2048:0 -t 1:8300 disk.img >/dev/null && truncate -s 8M p && mkfs.ext4 -q p && "
    "dd if=p of=disk.img bs=1M seek=1 conv=notrunc status=none";

struct ClearRow {
    const char *name, *device, *content;  // World::Attach's; content: a command that makes it
    WriteFailure::Kind why = WriteFailure::None;  // None: cleared
    const char* detail = "";
};
const ClearRow kClearRows[] = {
    {"loop", "loop", ""},
    {"4096-byte sectors", "4k", ""},
    {"read-only", "ro", "", WriteFailure::WriteStopped},
    {"in use", "held", "", WriteFailure::CannotOpen},
    {"flush fails", "full", "", WriteFailure::FlushFailed},
    {"hybrid ISO", "loop", kIso},
    {"GPT with ext4", "loop", kGpt},
    {"exFAT", "loop", "mkfs.exfat -L STICK disk.img >/dev/null"},
    {"stick ignores writes", "frozen", kIso, WriteFailure::NotCleared, "iso9660 at byte 32769"},
    {"stick pulled out", "gone", kIso, WriteFailure::FlushFailed},
};
// clang-format on

// Blocks [first, last] of 4 KiB that the maps name: one in the first MiB, one across its end,
// one in the middle, one up to the image's end inside its last block (6 MiB + 1000 bytes).
const std::pair<qint64, qint64> kMapRanges[] = {{0, 15}, {200, 300}, {1000, 1100}, {1400, 1536}};
constexpr qint64 kBlock = 4096, kMapped = (16 + 101 + 101) * kBlock + 136 * kBlock + 1000;

// bmaptool's map of `raw` in format `version`, SHA-256 a range, spoilt as `tweak` says.
std::string MakeMap(const std::string& raw, const std::string& version, const QString& tweak) {
    const auto sha = [](std::string_view bytes) {
        return QCryptographicHash::hash(QByteArrayView(bytes.data(), qsizetype(bytes.size())),
                                        QCryptographicHash::Sha256)
            .toHex()
            .toStdString();
    };
    const qint64 size = qint64(raw.size()) + (tweak == "size" ? kBlock : 0);
    const qint64 blocks = (size + kBlock - 1) / kBlock;
    std::vector<std::pair<qint64, qint64>> ranges(std::begin(kMapRanges), std::end(kMapRanges));
    if (tweak == "overlap") ranges.insert(ranges.begin() + 3, {1050, 1060});
    if (tweak == "beyond") ranges.push_back({blocks, blocks + 1});
    std::string list;
    qint64 mapped = 0;
    for (auto [first, last] : ranges) {
        std::string sum = sha(std::string_view(raw).substr(
            std::min<std::size_t>(first * kBlock, raw.size()), (last + 1 - first) * kBlock));
        if (tweak == "range" && first == 1000) sum[0] = sum[0] == '0' ? '1' : '0';
        list += "<Range chksum=\"" + sum + "\"> " + std::to_string(first) + "-" +
                std::to_string(last) + " </Range>\n";
        mapped += last - first + 1;
    }
    const std::string zeros(64, '0');
    std::string xml = "<?xml version=\"1.0\" ?>\n";
    if (tweak == "entity")
        xml +=
            "<!DOCTYPE bmap [<!ENTITY a \"aaaaaaaaaaaaaaaa\"><!ENTITY b "
            "\"&a;&a;&a;&a;&a;&a;\">]>\n";
    xml += "<bmap version=\"" + version + "\">\n<ImageSize> " + std::to_string(size) +
           " </ImageSize><BlockSize> 4096 </BlockSize>\n<BlocksCount> " + std::to_string(blocks) +
           " </BlocksCount><MappedBlocksCount> " + std::to_string(mapped) +
           " </MappedBlocksCount><Note>" + (tweak == "entity" ? "&b;" : "") +
           "</Note>\n<ChecksumType> sha256 </ChecksumType><BmapFileChecksum> " + zeros +
           " </BmapFileChecksum>\n<BlockMap>\n" + list + "</BlockMap>\n</bmap>\n";
    std::string own = sha(xml);
    if (tweak == "checksum") own[5] = own[5] == 'f' ? 'e' : 'f';
    return xml.replace(xml.find(zeros), zeros.size(), own);
}

// What the window is told of a map: "" used, else why not.
QString Verdict(const BlockMapInfo& info) {
    return info.Usable() ? "" : info.path.empty() ? "none" : QString::fromStdString(info.problem);
}

}  // namespace

class WriterTest : public QObject {
    Q_OBJECT

  private slots:
    void job_data() {
        QTest::addColumn<int>("row");
        for (int i = 0; i < int(std::size(kRows)); ++i) QTest::newRow(kRows[i].name) << i;
    }

    void job() {
        REQUIRE_ROOT();
        QFETCH(int, row);
        const Row& r = kRows[row];
        World w;
        QVERIFY(w.Attach(r.dev));
        const std::string original = testsupport::ReadBytes(w.backing);

        std::string temp = r.tempLen ? Padded(w.root, r.tempLen, 't') : w.root + "tmp/";
        if (r.temp == "hostile") temp = w.root + "tmp " + kHostile + "/";
        if (r.temp == "full") temp = w.Tmpfs("tmp");
        if (r.temp == "none") temp.clear();
        if (r.temp != "missing" && !temp.empty()) QDir().mkpath(QString::fromStdString(temp));

        const std::string dir = r.imageLen ? Padded(w.root, r.imageLen - 8, r.fill) : w.root;
        const std::string name = r.image == "hostile" ? kHostile : r.file;
        // The hostile name stays relative, so that it starts with "-".
        const std::string image = r.image == "hostile" ? name : dir + name;
        std::string raw = r.image == "huge" ? std::string(kSmall, '\0') : "";
        if (r.image == "huge") QCOMPARE(testsupport::Run("cd " + dir + kHugeImage), 0);
        if (r.image == "fifo") QCOMPARE(mkfifo(image.c_str(), 0600), 0);
        if (r.image != "huge" && r.image != "fifo" && r.image != "missing")
            QVERIFY(!testsupport::MakeImage(dir, name, r.size, r.pack, &raw, true).empty());
        if (r.image == "damaged") QCOMPARE(testsupport::Run("truncate -s -99K " + image), 0);
        if (r.image == "corrupt")
            QCOMPARE(testsupport::Run("dd if=/dev/zero of=" + image +
                                      " bs=1 count=4 conv=notrunc "
                                      "status=none seek=$(($(stat -c %s " +
                                      image + ") - 4))"),
                     0);
        const QByteArray path = qgetenv("PATH");
        if (r.noTools) qputenv("PATH", QByteArray::fromStdString(w.root + "no-tools"));

        const QString cwd = QDir::currentPath();
        QDir::setCurrent(QString::fromStdString(w.root));
        g_writer.SetTempDirectory(temp.c_str());
        g_writer.SetImageFile(image.c_str());
        g_writer.SetDevice(w.loop.c_str());
        g_writer.SetVerify(r.verify);
        const char byte = qint64(raw.size()) > r.at ? char(raw[r.at] ^ 1) : 0;
        const auto [started, bytesAtStart] = RunJob(r.cancel, {.tempImage = temp + "veskImage.img",
                                                               .hook = r.hook,
                                                               .loop = w.loop,
                                                               .backing = w.backing,
                                                               .image = image,
                                                               .at = r.at,
                                                               .byte = byte});
        QDir::setCurrent(cwd);
        qputenv("PATH", path);

        std::lock_guard lock(g_mutex);
        QCOMPARE(started, r.starts);
        QCOMPARE(bytesAtStart, qint64(-1));  // not the last job's
        QCOMPARE(g_writer.ImageBytes(), r.starts && r.unzips ? r.size : -1);
        QCOMPARE(g_job.finished, r.starts ? 1 : 0);
        QCOMPARE(g_writer.Failure().kind, r.why);
        QCOMPARE(g_job.result, r.ok);
        QVERIFY(!g_job.tempLeft);                                // when the callback ran
        QCOMPARE(g_job.children, std::size_t(r.dev == "dies"));  // the fake stick's daemon
        QCOMPARE(r.written == kSome ? g_job.calls.substr(0, strlen(r.calls)) : g_job.calls,
                 std::string(r.calls));
        const qint64 written = r.written == kSome ? g_writer.WrittenBytes()
                               : r.written == kAll || (r.written == kIfOk && r.ok) ? r.size
                                                                                   : r.written;
        const qint64 n = std::max<qint64>(written, 0);
        QCOMPARE(g_writer.WrittenBytes(), n);
        // The image's first MiB comes last: an unfinished write leaves it zero.
        std::string expected =
            n == r.size ? raw + original.substr(n)
            : n > 0     ? std::string(MiB, '\0') + raw.substr(MiB, n) + original.substr(MiB + n)
                        : original;
        if (r.hook == "tamper") expected[r.at] = byte;
        std::string onStick = testsupport::ReadBytes(w.backing);
        // The piece whose write failed may have landed in part, in any order.
        if (r.written == kSome && !r.ok && n > 0 && onStick.size() == expected.size())
            for (qint64 i = MiB + n; i < std::min<qint64>(MiB + n + kPieceSize, r.size); ++i)
                if (onStick[i] == raw[i]) onStick[i] = expected[i];
        QVERIFY(onStick == expected);
        QCOMPARE(Probed(w.loop).find("PTTYPE=dos") != std::string::npos, n == r.size && n >= 512);
        // Verified up to the piece that differs (the first MiB is a piece of its own).
        const qint64 verified = r.hook == "tamper" ? std::max(std::min(r.at, 2 * MiB) / MiB * MiB,
                                                              r.at / 2 / MiB * 2 * MiB)
                                                   : 0;
        QCOMPARE(g_writer.VerifiedBytes(), !r.verify ? -1 : r.ok ? r.size : verified);
        QCOMPARE(g_writer.MismatchOffset(), r.hook == "tamper" ? r.at : -1);
        // The two threads' lines interleave; sorted by thread, they are kTrace.
        QStringList lines = QString::fromStdString(g_job.trace).split('\n', Qt::SkipEmptyParts);
        const QStringList others =
            lines.filter(QRegularExpression("^(?!(Unzip|WriteImage)Thread)"));
        lines.removeIf([&](const QString& line) { return others.contains(line); });
        std::stable_partition(lines.begin(), lines.begin() + std::min<qsizetype>(4, lines.size()),
                              [](const QString& line) { return line.startsWith("Unzip"); });
        QCOMPARE(lines.join('|'), QString(r.starts ? kTrace : ""));
        QCOMPARE(others.join('|'), QString(r.lines));
    }

    void clear_data() {
        QTest::addColumn<int>("row");
        for (int i = 0; i < int(std::size(kClearRows)); ++i) QTest::newRow(kClearRows[i].name) << i;
    }

    void clear() {
        REQUIRE_ROOT();
        QFETCH(int, row);
        const ClearRow& r = kClearRows[row];
        World w;
        QVERIFY(w.Attach(r.device, r.content));
        const std::string original = testsupport::ReadBytes(w.backing);
        g_writer.SetDevice(w.loop.c_str());
        // On a thread of its own, as the window does.
        const bool ok =
            std::async(std::launch::async, [&] { return g_writer.ClearDevice(); }).get();
        QCOMPARE(g_writer.Failure().kind, r.why);
        QCOMPARE(ok, r.why == WriteFailure::None);
        QCOMPARE(g_writer.Failure().detail, std::string(r.detail));
        const std::string now = testsupport::ReadBytes(w.backing);
        QVERIFY(ok || now == original);
        if (!ok) return;
        // The first KiB and the magic bytes found beyond it; the fill between
        // them stays.
        QVERIFY(now.substr(0, 1024) == std::string(1024, '\0'));
        std::size_t changed = 0;
        for (std::size_t i = 1024; i < now.size(); ++i) changed += now[i] != original[i];
        QVERIFY2(changed <= 8, qPrintable(QString::number(changed)));
        QVERIFY(now.find("EFI PART") == std::string::npos);  // nor the backup GPT
        std::string found;
        QCOMPARE(
            testsupport::Run("blkid -p " + w.loop + "; [ $? = 2 ] && wipefs -n " + w.loop, &found),
            0);
        QCOMPARE(found, std::string());
    }

    // What the window shows of an image: made with Debian's tools, probed by the window's
    // runner (after a probe it supersedes), and its summary and flag.
    void imageContent_data() {
        QTest::addColumn<QString>("make");  // shell commands that make `file` in an empty folder
        QTest::addColumn<QString>("file");
        QTest::addColumn<qint64>("stick");  // the stick's bytes, or -1
        QTest::addColumn<QString>("summary");
        QTest::addColumn<int>("flag");
        QTest::addColumn<QString>("sentence");  // in the flag's sentence; "": none
        const QString iso =
            "mkdir -p iso/isolinux iso/boot && cp /usr/lib/ISOLINUX/isolinux.bin iso/isolinux && "
            "mkfs.vfat -C iso/boot/efi.img 1440 >/dev/null && xorriso -as mkisofs -quiet -o "
            "image.iso -b isolinux/isolinux.bin -c isolinux/boot.cat -no-emul-boot "
            "-boot-load-size 4 -boot-info-table 2>/dev/null ";
        const QString hybrid = iso +
                               "-isohybrid-mbr /usr/lib/ISOLINUX/isohdpfx.bin -eltorito-alt-boot "
                               "-e boot/efi.img -no-emul-boot -isohybrid-gpt-basdat ";
        // vfat at 1 MiB; ext4 at 5 MiB, its label with an escape and a bidi override; ext4 at
        // 20 MiB, past what is read of a compressed image.
        const QString disk =
            "truncate -s 32M image && sgdisk -n1:1M:+4M -t1:ef00 -n2:5M:+8M -n3:20M:0 image "
            ">/dev/null && mkfs.vfat -n EFI --offset 2048 image 4096 >/dev/null 2>&1 && mkfs.ext4 "
            "-q -L \"$(printf 'root\\033\\342\\200\\256fs')\" -E offset=5242880 image 8M && "
            "mkfs.ext4 -q -L data -E offset=20971520 image 8M";
        const QString gpt = "GPT: vfat “EFI”, ext4 “root fs”, ",
                      beyond = "partition 3 (beyond the 16 MB read) · ";
        const int none = int(ImageFlag::None), unreadable = int(ImageFlag::Unreadable);
        // clang-format off
        QTest::newRow("hybrid ISO") << hybrid + "-V 'Debian 12.8.0 amd64 n' iso" << "image.iso" << 8004829184LL << "ISO 9660 “Debian 12.8.0 amd64 n” · MBR + GPT · 2 MB once written (stick: 7634 MB)" << none << "";
        QTest::newRow("hybrid ISO, MBR alone") << iso + "-isohybrid-mbr /usr/lib/ISOLINUX/isohdpfx.bin -V Live iso" << "image.iso" << -1LL << "ISO 9660 “Live” · MBR · 2 MB once written" << none << "";
        QTest::newRow("hybrid ISO, GPT alone") << hybrid + "-V Live iso && printf '\\0\\0' | dd of=image.iso bs=1 seek=510 conv=notrunc status=none" << "image.iso" << -1LL << "ISO 9660 “Live” · GPT · 2 MB once written" << none << "";
        QTest::newRow("optical-disc ISO") << iso + "-V CCCOMA_X64FRE iso" << "image.iso" << -1LL << "ISO 9660 “CCCOMA_X64FRE” · 1 MB once written" << int(ImageFlag::NotBootable) << "optical discs";
        QTest::newRow("GPT disk") << disk << "image" << -1LL << gpt + "ext4 “data” · 32 MB once written" << none << "";
        QTest::newRow("gzip") << disk + " && gzip image" << "image.gz" << -1LL << gpt + beyond + "size once written unknown" << none << "";
        QTest::newRow("xz") << disk + " && xz -1 image" << "image.xz" << -1LL << gpt + beyond + "32 MB once written" << none << "";
        QTest::newRow("zstd") << disk + " && zstd -q --rm image" << "image.zst" << -1LL << gpt + beyond + "32 MB once written" << none << "";
        QTest::newRow("random bytes") << "head -c 1M /dev/urandom >image.img" << "image.img" << -1LL << "1 MB once written" << int(ImageFlag::Unrecognised) << "holds no partition table or file system the system recognises.";
        QTest::newRow("empty") << ": >image.img" << "image.img" << -1LL << "" << unreadable << "shorter than one sector";
        QTest::newRow("FIFO") << "mkfifo image.img" << "image.img" << -1LL << "" << unreadable << "not a file";
        QTest::newRow("missing") << "" << "image.img" << -1LL << "" << unreadable << "(No such file or directory)";
        QTest::newRow("xz cut short") << "head -c 4M /dev/urandom | xz -1 >image.xz && truncate -s 1M image.xz" << "image.xz" << -1LL << "" << unreadable << "cut short (xz exited with status 1)";
        QTest::newRow("xz name, raw content") << "head -c 1M /dev/urandom >image.xz" << "image.xz" << -1LL << "" << unreadable << "promises a compression";
        // clang-format on
    }

    void imageContent() {
        QFETCH(QString, make);
        QFETCH(QString, file);
        QFETCH(qint64, stick);
        QFETCH(QString, summary);
        QFETCH(int, flag);
        QFETCH(QString, sentence);
        QTemporaryDir dir;
        const std::string root = dir.path().toStdString() + "/";
        if (!make.isEmpty())
            QCOMPARE(testsupport::Run("cd " + root + " && " + make.toStdString()), 0);
        platform::ImageContentProbe probe;
        QSignalSpy changed(&probe, &platform::ImageContentProbe::changed);
        probe.Start(root + "superseded.img");
        QThread::msleep(100);  // its findings wait in the event queue
        probe.Start(root + file.toStdString());
        QTRY_VERIFY(probe.state() == platform::ImageContentProbe::State::Done);
        QCOMPARE(changed.count(), 3);  // started twice, then this image's findings alone
        const platform::ImageContent& c = probe.content();
        QCOMPARE(ImageSummaryText(c, stick < 0 ? std::nullopt : std::optional(stick)), summary);
        QCOMPARE(int(FlagOf(c)), flag);
        QVERIFY2(
            sentence.isEmpty() ? FlagSentence(c).isEmpty() : FlagSentence(c).contains(sentence),
            qPrintable(FlagSentence(c)));
        QCOMPARE(FlagConfirmationText(FlagOf(c)).isEmpty(),
                 FlagOf(c) == ImageFlag::None || FlagOf(c) == ImageFlag::Unreadable);
    }

    // Another choice, or Quit, ends a probe whose tools trickle out bytes for ever (a probe that
    // missed it would never end), leaving no child behind and reporting nothing.
    void imageContentCancel() {
        QTemporaryDir dir;
        const std::string root = dir.path().toStdString() + "/";
        QCOMPARE(testsupport::Run(
                     "cd " + root +
                     " && printf '#!/bin/sh\\nwhile echo; do sleep 0.1; done\\n' >xz && chmod +x xz"
                     " && head -c 1M /dev/zero | /usr/bin/xz >image.xz"),
                 0);
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", QByteArray::fromStdString(root) + ":" + path);
        platform::ImageContentProbe probe;
        QSignalSpy changed(&probe, &platform::ImageContentProbe::changed);
        probe.Start(root + "image.xz");
        QTRY_VERIFY(!Children().empty());  // its size listing runs
        probe.Cancel();
        qputenv("PATH", path);
        QVERIFY(Children().empty());
        QCoreApplication::processEvents();
        QVERIFY(probe.state() == platform::ImageContentProbe::State::None);
        QCOMPARE(changed.count(), 1);  // the start alone
    }

    // A label longer than any file system here can carry, with a line break and a bidi override.
    void imageLabel() {
        const platform::ImageContent c{.writtenSize = 0,
                                       .tables = {"dos"},
                                       .fileSystem = "udf",
                                       .label = "\u202Eline\nbreak " + std::string(300, 'x')};
        QCOMPARE(ImageSummaryText(c),
                 "UDF “line break " + QString(28, 'x') + "…” · MBR · 0 MB once written");
    }

    void blockMap_data() {
        QTest::addColumn<QString>("file");     // its map: IMAGE.bmap, or without ".xz"/".gz"
        QTest::addColumn<QString>("pack");     // compressor
        QTest::addColumn<QString>("tweak");    // how the map is spoilt; "off": maps not used
        QTest::addColumn<QString>("verdict");  // part of the reason it is ignored; "": used
        QTest::newRow("2.0, raw") << "image.img"
                                  << ""
                                  << ""
                                  << "";
        QTest::newRow("1.4, xz") << "image.img.xz"
                                 << "xz -1"
                                 << "1.4"
                                 << "";
        QTest::newRow("2.0, gzip") << "image.img.gz"
                                   << "gzip -1"
                                   << ""
                                   << "";
        QTest::newRow("maps off") << "image.img"
                                  << ""
                                  << "off"
                                  << "none";
        QTest::newRow("wrong image size") << "image.img"
                                          << ""
                                          << "size"
                                          << "is for an image of";
        QTest::newRow("wrong map checksum") << "image.img"
                                            << ""
                                            << "checksum"
                                            << "own checksum";
        QTest::newRow("overlapping ranges") << "image.img"
                                            << ""
                                            << "overlap"
                                            << "overlap";
        QTest::newRow("range beyond the end") << "image.img"
                                              << ""
                                              << "beyond"
                                              << "beyond";
        QTest::newRow("entity expansion") << "image.img"
                                          << ""
                                          << "entity"
                                          << "DTD";
        QTest::newRow("wrong range checksum") << "image.img.xz"
                                              << "xz -1"
                                              << "range"
                                              << "";
    }

    // A mapped write leaves what the map leaves out as the stick held it (the first MiB zero),
    // and is verified; an unusable map has the whole image written.
    void blockMap() {
        REQUIRE_ROOT();
        QFETCH(QString, file);
        QFETCH(QString, pack);
        QFETCH(QString, tweak);
        QFETCH(QString, verdict);
        World w;
        QVERIFY(w.Attach("loop"));
        const std::string original = testsupport::ReadBytes(w.backing),
                          image = w.root + file.toStdString();
        std::string raw;
        QVERIFY(!testsupport::MakeImage(w.root, file.toStdString(), 6 * MiB + 1000,
                                        pack.toStdString(), &raw, true)
                     .empty());
        const std::string stem = pack.isEmpty() ? image : image.substr(0, image.rfind('.'));
        QVERIFY(testsupport::WriteBytes(stem + ".bmap",
                                        MakeMap(raw, tweak == "1.4" ? "1.4" : "2.0", tweak)));
        QVERIFY(Verdict(FindBlockMap(image)).contains(verdict) ||
                tweak == "off");  // as the window learns it
        g_writer.SetImageFile(image.c_str());
        g_writer.SetDevice(w.loop.c_str());
        g_writer.SetTempDirectory(w.root.c_str());
        g_writer.SetVerify(true);
        g_writer.SetUseBlockMap(tweak != "off");
        RunJob(false, {.tempImage = w.root + "veskImage.img"});
        g_writer.SetUseBlockMap(true);
        std::lock_guard lock(g_mutex);
        QVERIFY2(Verdict(g_writer.JobBlockMap()).contains(verdict) &&
                     verdict.isEmpty() == g_writer.JobBlockMap().Usable(),
                 qPrintable(Verdict(g_writer.JobBlockMap())));
        const std::string stick = testsupport::ReadBytes(w.backing);
        if (tweak == "range") {  // the write stops there, the first MiB still zero
            QCOMPARE(g_writer.Failure().kind, WriteFailure::RangeDiffers);
            QCOMPARE(g_writer.Failure().offset, 1000 * kBlock);
            QCOMPARE(g_writer.Failure().rangeBytes, 101 * kBlock);
            QVERIFY(stick.substr(1400 * kBlock) == original.substr(1400 * kBlock));
            QCOMPARE(Probed(w.loop), std::string());
            return;
        }
        std::string expected = raw + original.substr(raw.size());
        if (verdict.isEmpty()) {
            expected = std::string(MiB, '\0') + original.substr(MiB);
            for (auto [first, last] : kMapRanges)
                expected.replace(first * kBlock,
                                 std::min((last + 1) * kBlock, qint64(raw.size())) - first * kBlock,
                                 raw.substr(first * kBlock, (last + 1 - first) * kBlock));
        }
        QCOMPARE(g_job.result, true);
        const qint64 bytes = verdict.isEmpty() ? kMapped : qint64(raw.size());
        QCOMPARE(g_writer.ImageBytes(), bytes);
        QCOMPARE(g_writer.WrittenBytes(), bytes);
        QCOMPARE(g_writer.VerifiedBytes(), bytes);
        QVERIFY(stick == expected);
    }

    // xz decodes a file of blocks that need more than 20 MiB each on more than one thread.
    void xzThreads() {
        REQUIRE_ROOT();
        if (std::thread::hardware_concurrency() < 2) QSKIP("one core: xz decodes on one thread");
        World w;
        QVERIFY(w.Attach("loop"));
        const std::string image = w.root + "image.xz";
        QCOMPARE(testsupport::Run("head -c 20M /dev/zero | xz -1 -T2 --block-size=12MiB >" + image),
                 0);
        g_writer.SetImageFile(image.c_str());
        g_writer.SetDevice(w.loop.c_str());
        g_writer.SetTempDirectory(w.root.c_str());
        g_writer.SetVerify(false);
        RunJob(false, {.tempImage = w.root + "veskImage.img", .hook = "threads"});
        std::lock_guard lock(g_mutex);
        QCOMPARE(g_job.calls, std::string("+(2,1)(2,2)(2,3)"));
        QCOMPARE(g_job.result, true);
    }
};

QTEST_GUILESS_MAIN(WriterTest)
#include "test_writer.moc"
