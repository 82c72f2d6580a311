#include "platform/files/ImageContent.h"

#include <blkid/blkid.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QMetaObject>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <tuple>
#include <type_traits>
#include <utility>

#include "DeviceImageWriter.h"
#include "platform/files/ChildProcess.h"
#include "platform/kernel/DeviceAccess.h"

namespace platform {

namespace {

constexpr std::int64_t kSector = 512;
// A compressed image whose size its format does not record (gzip, bzip2)
// seems this long to libblkid, so that a GPT that describes a larger disk than
// the part read still holds. The memfd is sparse: it costs nothing.
constexpr std::int64_t kUnknownSize = std::int64_t(1) << 40;
// A partition counts as read when this much of its start was: its file
// system's superblock lies there.
constexpr std::int64_t kSuperblockReach = std::int64_t(1) << 20;
// How often a wait on the decompressor looks at the cancel flag, and how long
// it may give nothing (a file on a stalled mount) before the probe gives up.
constexpr int kPollMs = 50;
constexpr auto kSilence = std::chrono::seconds(10);
// A size listing longer than this is none.
constexpr std::int64_t kMaxListing = 1 << 20;

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};

using Probe = std::unique_ptr<std::remove_pointer_t<blkid_probe>, decltype(&blkid_free_probe)>;

Probe NewProbe(int fd, std::int64_t offset, std::int64_t size) {
    Probe probe(blkid_new_probe(), &blkid_free_probe);
    if (probe && blkid_probe_set_device(probe.get(), fd, offset, size) != 0) probe.reset();
    return probe;
}

std::string Value(const Probe& probe, const char* name) {
    const char* data = nullptr;
    std::size_t length = 0;
    if (blkid_probe_lookup_value(probe.get(), name, &data, &length) != 0 || !data) return {};
    return std::string(data, strnlen(data, length));
}

// The one file system libblkid is sure of in [offset, offset + size): its
// type and label.
std::pair<std::string, std::string> FileSystemAt(int fd, std::int64_t offset, std::int64_t size) {
    const Probe probe = NewProbe(fd, offset, size);
    if (!probe) return {};
    blkid_probe_enable_superblocks(probe.get(), 1);
    blkid_probe_set_superblocks_flags(probe.get(), BLKID_SUBLKS_TYPE | BLKID_SUBLKS_LABEL);
    if (blkid_do_safeprobe(probe.get()) != 0) return {};
    return {Value(probe, "TYPE"), Value(probe, "LABEL")};
}

// The partition table libblkid reads at the start of [0, size), with
// `gptOnly` the GPT alone, even behind an MBR without a protective entry (as
// hybrid ISOs have).
blkid_partlist Partitions(const Probe& probe, bool gptOnly) {
    if (!probe) return nullptr;
    blkid_probe_enable_superblocks(probe.get(), 0);
    blkid_probe_enable_partitions(probe.get(), 1);
    if (gptOnly) {
        char gpt[] = "gpt";
        char* names[] = {gpt, nullptr};
        blkid_probe_set_partitions_flags(probe.get(), BLKID_PARTS_FORCE_GPT);
        blkid_probe_filter_partitions_type(probe.get(), BLKID_FLTR_ONLYIN, names);
    }
    blkid_partlist list = blkid_probe_get_partitions(probe.get());
    return list && blkid_partlist_get_table(list) ? list : nullptr;
}

// Probes an image of `size` bytes in `fd` whose first `read` bytes hold its
// content.
void ProbeContent(int fd, std::int64_t size, std::int64_t read, ImageContent* c) {
    c->probedBytes = read;
    unsigned char signature[2] = {};
    c->bootSignature =
        ReadFullAt(fd, signature, 2, 510) == 2 && signature[0] == 0x55 && signature[1] == 0xAA;
    std::tie(c->fileSystem, c->label) = FileSystemAt(fd, 0, size);

    const Probe probe = NewProbe(fd, 0, size);
    if (blkid_partlist list = Partitions(probe, false)) {
        c->tables.push_back(blkid_parttable_get_type(blkid_partlist_get_table(list)));
        for (int i = 0; i < blkid_partlist_numof_partitions(list); ++i) {
            const blkid_partition p = blkid_partlist_get_partition(list, i);
            if (blkid_partition_is_extended(p)) continue;  // a container of logical ones
            FoundPartition found{.number = blkid_partition_get_partno(p),
                                 .start = blkid_partition_get_start(p) * kSector,
                                 .size = blkid_partition_get_size(p) * kSector};
            found.read =
                found.size > 0 && found.start + std::min(found.size, kSuperblockReach) <= read;
            if (found.read)
                std::tie(found.type, found.label) =
                    FileSystemAt(fd, found.start, std::min(found.size, size - found.start));
            c->partitions.push_back(std::move(found));
        }
    }
    if (c->tables.empty() || c->tables.front() != "gpt") {
        if (Partitions(NewProbe(fd, 0, size), true)) c->tables.push_back("gpt");
    }
}

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// What a child gave of its standard output. whole: it ended first, cleanly;
// problem: it failed, gave nothing for too long, or its output had nowhere to go.
struct Output {
    std::int64_t bytes = 0;
    bool whole = false;
    std::string problem;
};

// Runs argv and hands its output's first `limit` bytes to `take` (false: no
// room for them); the child ends as soon as they are read, or once `cancel`
// is set, looked at every kPollMs.
Output ReadOutput(const std::vector<std::string>& argv, std::int64_t limit,
                  const std::atomic<bool>& cancel,
                  const std::function<bool(const char*, std::size_t)>& take) {
    Output got;
    ChildProcess child;
    if (const int error = child.Start(argv, true); error != 0) {
        got.problem = argv[0] + " could not be started: " + std::strerror(error);
        return got;
    }
    std::vector<char> buffer(1 << 20);
    auto lastOutput = std::chrono::steady_clock::now();
    while (got.bytes < limit && !cancel) {
        pollfd ready{.fd = child.Output(), .events = POLLIN, .revents = 0};
        const int r = poll(&ready, 1, kPollMs);
        if (r == 0 || (r < 0 && errno == EINTR)) {
            if (std::chrono::steady_clock::now() - lastOutput <= kSilence) continue;
            got.problem = argv[0] + " gave no output for 10 s";
            break;
        }
        const std::size_t want = static_cast<std::size_t>(
            std::min<std::int64_t>(std::int64_t(buffer.size()), limit - got.bytes));
        const ssize_t n = r < 0 ? -1 : read(child.Output(), buffer.data(), want);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n < 0)
            got.problem = std::string("cannot read from ") + argv[0] + ": " + std::strerror(errno);
        got.whole = n == 0;
        if (n <= 0) break;
        if (!take(buffer.data(), static_cast<std::size_t>(n))) {
            got.problem = std::string("no room for the image's start: ") + std::strerror(errno);
            break;
        }
        got.bytes += n;
        lastOutput = std::chrono::steady_clock::now();
    }
    if (!got.whole) child.Kill();  // enough read, or given up
    const std::string exit = ExitProblem(child.Wait());
    if (got.whole && !exit.empty()) got.problem = argv[0] + " " + exit;
    if (!got.problem.empty()) got.whole = false;
    return got;
}

// The decompressor that writes the image to its standard output, without a
// shell: the streaming one where the writer has it, else the shell's command
// word split.
std::vector<std::string> DecompressArguments(ImageFormat format, const std::string& path) {
    std::vector<std::string> argv = StreamArguments(format, path);
    if (!argv.empty()) return argv;
    const std::string tool = DecompressTool(format);
    for (std::size_t at = 0; at <= tool.size();) {
        const std::size_t end = std::min(tool.find(' ', at), tool.size());
        argv.push_back(tool.substr(at, end - at));
        at = end + 1;
    }
    argv.insert(argv.end(), {"--", path});
    return argv;
}

// By reference, so that nothing runs between the failing call and the
// caller's read of errno.
ImageContent Unreadable(ImageContent& c, ImageContent::Problem problem, int error = 0) {
    c.problem = problem;
    c.error = error;
    return std::move(c);
}

}  // namespace

ImageContent ProbeImageContent(const std::string& path, const std::atomic<bool>& cancel) {
    using Problem = ImageContent::Problem;
    ImageContent c;
    // O_NONBLOCK: opening a FIFO for reading would wait for a writer.
    const Fd file{open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    if (file.fd < 0) return Unreadable(c, Problem::CannotOpen, errno);
    struct stat st;
    if (fstat(file.fd, &st) != 0) return Unreadable(c, Problem::CannotOpen, errno);
    if (!S_ISREG(st.st_mode)) return Unreadable(c, Problem::NotAFile);
    unsigned char magic[6] = {};
    const long long got = ReadFullAt(file.fd, magic, sizeof magic, 0);
    if (got < 0) return Unreadable(c, Problem::CannotOpen, errno);
    const ImageFormat promised = FormatOfName(path);
    c.format = FormatOfContent(magic, static_cast<std::size_t>(got));
    if (promised != ImageFormat::Raw && promised != c.format) {
        c.format = ImageFormat::Damaged;  // the writer refuses it
        return Unreadable(c, Problem::Misnamed);
    }

    if (c.format == ImageFormat::Raw) {
        c.writtenSize = st.st_size;
        if (st.st_size < kSector) return Unreadable(c, Problem::TooShort);
        ProbeContent(file.fd, st.st_size, st.st_size, &c);
        return c;
    }

    // Compressed: the size its index or headers record, then the stream's start.
    std::string problem;
    if (c.format == ImageFormat::Zstd && !ZstdFileSize(path, &c.writtenSize, &problem))
        c.writtenSize = -1;
    if (const auto argv = SizeListArguments(c.format, path); !argv.empty()) {
        std::string listing;
        const Output listed =
            ReadOutput(argv, kMaxListing, cancel, [&](const char* data, std::size_t n) {
                listing.append(data, n);
                return true;
            });
        if (listed.whole) c.writtenSize = ListedSize(c.format, listing);
    }
    if (cancel) return {};
    const Fd start{memfd_create("image-start", MFD_CLOEXEC)};
    if (start.fd < 0) return Unreadable(c, Problem::CannotOpen, errno);
    const Output stream =
        ReadOutput(DecompressArguments(c.format, path), kProbeBytes, cancel,
                   [&](const char* data, std::size_t n) { return WriteAll(start.fd, data, n); });
    if (cancel) return {};
    if (!stream.problem.empty()) {
        c.detail = stream.problem;
        return Unreadable(c, Problem::Decompression);
    }
    if (stream.whole) c.writtenSize = stream.bytes;  // all of it read: known now
    if (stream.bytes < kSector) return Unreadable(c, Problem::TooShort);
    const std::int64_t size =
        c.writtenSize >= 0 ? std::max(c.writtenSize, stream.bytes) : kUnknownSize;
    if (ftruncate(start.fd, size) != 0) return Unreadable(c, Problem::CannotOpen, errno);
    ProbeContent(start.fd, size, stream.bytes, &c);
    return c;
}

ImageContentProbe::~ImageContentProbe() {
    Cancel();
}

void ImageContentProbe::Cancel() {
    m_cancel = true;
    if (m_thread.joinable()) m_thread.join();
    ++m_generation;  // what the ended thread posted is not for the next probe
    if (m_state == State::Probing) m_state = State::None;
}

void ImageContentProbe::Start(const std::string& imagePath) {
    Cancel();
    m_cancel = false;
    m_state = State::Probing;
    m_content = {};
    emit changed();
    m_thread = std::thread(&ImageContentProbe::Run, this, imagePath, m_generation);
}

void ImageContentProbe::Finish(unsigned generation, ImageContent content) {
    if (generation != m_generation) return;
    m_state = State::Done;
    m_content = std::move(content);
    emit changed();
}

void ImageContentProbe::Run(std::string imagePath, unsigned generation) {
    ImageContent content = ProbeImageContent(imagePath, m_cancel);
    content.blockMap = FindBlockMap(imagePath);
    if (m_cancel) return;
    QMetaObject::invokeMethod(
        this, [=, this] { Finish(generation, content); }, Qt::QueuedConnection);
}

}  // namespace platform
