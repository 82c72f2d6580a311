#include "DeviceImageWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/files/ChildProcess.h"
#include "platform/kernel/DeviceAccess.h"
#include "platform/kernel/Signatures.h"
#include "writer/CapacityProbe.h"
#include "writer/ImageCopy.h"

std::atomic<bool> g_cancelThread{false};

namespace {

constexpr std::size_t kClearSize = 1024;
// Rounds of looking for signatures and wiping them; one that survives them
// all fails the clear when the stick is probed afresh.
constexpr int kWipeRounds = 8;

// Limits of the job's paths: the temporary image path must fit 512 bytes and
// each command 1024, both with their terminating NUL.
constexpr std::size_t kMaxTempDirectory = 498;
constexpr std::size_t kMaxImageAndTempDirectory = 995;
constexpr std::size_t kMaxCommand = 1023;

int RunCommand(const std::string& command) {
    return std::system(command.c_str());
}

// A path the shell must not mistake for an option once it is a word of its own.
std::string NotAnOption(const std::string& path) {
    return !path.empty() && path[0] == '-' ? "./" + path : path;
}

// The image path as it stands inside double quotes: the shell still expands
// $, ` and \ there and a " would end the quoting, so each gets a backslash.
// Blanks and newlines are literal between double quotes.
std::string EscapeForDoubleQuotes(const std::string& path) {
    std::string escaped;
    for (char c : NotAnOption(path)) {
        if (c == '"' || c == '$' || c == '`' || c == '\\') escaped += '\\';
        escaped += c;
    }
    return escaped;
}

bool IsShellSafe(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
           c == '.' || c == '_' || c == '-' || c == '+' || c == ',' || c == ':' || c == '@' ||
           c == '%';
}

// The temporary image path stands unquoted in both commands. A path made of
// harmless characters stays as it is; any other is put in single quotes,
// where the shell interprets nothing (a ' itself becomes '\'').
std::string ShellWord(const std::string& text) {
    const std::string path = NotAnOption(text);
    if (!path.empty() && std::all_of(path.begin(), path.end(), IsShellSafe)) return path;
    std::string quoted = "'";
    for (char c : path) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

std::string DecompressCommand(ImageFormat format, const std::string& imageFile,
                              const std::string& tempDirectory) {
    return std::string(DecompressTool(format)) + " \"" + EscapeForDoubleQuotes(imageFile) +
           "\" > " + ShellWord(tempDirectory + kTempImageName);
}

// The longest of the commands the image could need, before its format is known.
std::size_t LongestDecompressCommand(const std::string& imageFile,
                                     const std::string& tempDirectory) {
    std::size_t longest = 0;
    for (ImageFormat format :
         {ImageFormat::Gzip, ImageFormat::Xz, ImageFormat::Zstd, ImageFormat::Bzip2})
        longest = std::max(longest, DecompressCommand(format, imageFile, tempDirectory).size());
    return longest;
}

std::string RemoveCommand(const std::string& tempImageFile) {
    return "rm " + ShellWord(tempImageFile);
}

bool StartThread(pthread_t* thread, void* (*start)(void*), void* argument) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;
    bool started = false;
    if (pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_JOINABLE) == 0)
        started = pthread_create(thread, &attributes, start, argument) == 0;
    pthread_attr_destroy(&attributes);
    return started;
}

// Keeps the first reason a job fails for.
void Fail(WriteFailure* failure, WriteFailure::Kind kind, std::int64_t offset = -1, int error = 0,
          std::string detail = {}) {
    if (failure->kind != WriteFailure::None) return;
    failure->kind = kind;
    failure->offset = offset;
    failure->error = error;
    failure->detail = std::move(detail);
}

// A decompressor that failed: missing, or the image damaged.
void FailDecompression(WriteFailure* failure, const std::string& tool, const std::string& problem) {
    const bool missing = problem.find(std::strerror(ENOENT)) != std::string::npos;
    Fail(failure, missing ? WriteFailure::ToolMissing : WriteFailure::Damaged, -1, 0,
         missing ? tool : tool + " " + problem);
}

void TraceBytes(const char* format, long long a, long long b = 0) {
    char line[128];
    std::snprintf(line, sizeof line, format, a, b);
    Trace(line);
}

bool ZstdSize(const std::string& image, std::int64_t* size, WriteFailure* failure) {
    std::string problem;
    if (ZstdFileSize(image, size, &problem)) return true;
    *size = -1;
    Trace(("Cannot list the image's size: zstd " + problem).c_str());
    Fail(failure, WriteFailure::Damaged, -1, 0, "zstd " + problem);
    return false;
}

// The decompressed size from the format's own index or frame headers, into
// *size (-1 when they do not give it, or the format has none). false when
// the image is damaged or the listing tool failed (damaged, or missing).
bool ListSize(ImageFormat format, const std::string& image, std::int64_t* size,
              WriteFailure* failure) {
    *size = -1;
    if (format == ImageFormat::Zstd) return ZstdSize(image, size, failure);
    const std::vector<std::string> argv = SizeListArguments(format, image);
    if (argv.empty()) return true;
    std::string listing, problem;
    if (!platform::RunForOutput(argv, &listing, &problem)) {
        Trace(("Cannot list the image's size: " + argv[0] + " " + problem).c_str());
        FailDecompression(failure, argv[0], problem);
        return false;
    }
    *size = ListedSize(format, listing);
    return true;
}

// Why a streamed image's decompression failed, for its trace line; "" when it
// did not. A copy that stopped on its own (cancelled, the device refused a
// write) ended the decompressor itself, so its status says nothing then.
std::string StreamProblem(ImageCopy::Result result, int waitStatus, std::int64_t size,
                          std::int64_t given) {
    using Result = ImageCopy::Result;
    if (result == Result::Cancelled || result == Result::WriteFailed ||
        result == Result::RangeDiffers)
        return "";
    if (result == Result::Longer)
        return "gave more than the " + std::to_string(size) + " bytes its index announced";
    if (std::string problem = platform::ExitProblem(waitStatus); !problem.empty()) return problem;
    if (result == Result::EndedEarly)
        return "gave " + std::to_string(given) + " of " + std::to_string(size) + " bytes";
    if (result == Result::ReadFailed) return "could not be read";
    return "";
}

void TraceDecompressorProblem(const std::vector<std::string>& argv, const std::string& problem) {
    Trace(("Decompression failed: " + argv[0] + " " + problem).c_str());
}

// The streamed image's bytes [offset, offset + size) for the read-back's
// search: decompressed once more, what comes before them read and dropped.
bool ReadDecompressed(const std::vector<std::string>& argv, std::int64_t offset, char* into,
                      std::size_t size) {
    platform::ChildProcess child;
    if (child.Start(argv) != 0) return false;
    for (std::int64_t skipped = 0; skipped < offset;) {
        if (g_cancelThread.load()) return false;
        const long long got =
            platform::ReadFull(child.Output(), into,
                               static_cast<std::size_t>(std::min<std::int64_t>(
                                   offset - skipped, static_cast<std::int64_t>(size))));
        if (got <= 0) return false;
        skipped += got;
    }
    return platform::ReadFull(child.Output(), into, size) == static_cast<long long>(size);
}

// Copies `size` bytes from `source` (or, when argv names a decompressor, from
// its output), or the ranges of `map`, onto the opened device, the image's
// first MiB last; flushes it and verifies when asked.
bool CopyOnto(const platform::OpenedDevice& device, std::int64_t size, const BlockMap* map,
              int source, const std::vector<std::string>& argv,
              const write_image_thread_data& job) {
    ImageCopy copy(device, size, map);
    copy.StopWhen(&job.contact->givenUp);
    if (!copy.Allocated()) {
        Fail(job.failure, WriteFailure::Other);
        return false;
    }
    platform::ChildProcess decompressor;
    if (!argv.empty()) {
        if (const int error = decompressor.Start(argv); error != 0) {
            const std::string problem =
                std::string("could not be started: ") + std::strerror(error);
            TraceDecompressorProblem(argv, problem);
            FailDecompression(job.failure, argv[0], problem);
            return false;
        }
        source = decompressor.Output();
    }
    const ImageCopy::Result result =
        copy.Copy(source, job.progressCallback, job.writtenBytes, [&] { decompressor.Kill(); });
    bool copied = result == ImageCopy::Result::Done;
    if (result == ImageCopy::Result::Cancelled)
        Fail(job.failure, WriteFailure::Cancelled, job.writtenBytes->load());
    if (result == ImageCopy::Result::WriteFailed)
        Fail(job.failure, WriteFailure::WriteStopped, copy.FailedAt(), copy.Error());
    if (result == ImageCopy::Result::RangeDiffers) {
        const MappedRange& range = copy.BadRange();
        TraceBytes("Block map: the image's bytes %lld to %lld differ from the map's checksum",
                   range.offset, range.offset + range.bytes - 1);
        if (job.failure->kind == WriteFailure::None) job.failure->rangeBytes = range.bytes;
        Fail(job.failure, WriteFailure::RangeDiffers, range.offset);
    }
    if (!argv.empty()) {
        // Ended and reaped whatever happened: no zombie outlives the job.
        if (result != ImageCopy::Result::Done && result != ImageCopy::Result::EndedEarly)
            decompressor.Kill();
        const std::string problem =
            StreamProblem(result, decompressor.Wait(), size, copy.SourceBytes());
        if (!problem.empty()) {
            TraceDecompressorProblem(argv, problem);
            FailDecompression(job.failure, argv[0], problem);
        }
        copied = copied && problem.empty();
    }
    if (!copied) Fail(job.failure, WriteFailure::NotReadable);  // the source's own read failed
    // Success means the bytes are on the device, not in a cache; the image's
    // first MiB goes last, once all the rest is there.
    if (copied && !platform::FlushDevice(device.fd)) {
        Fail(job.failure, WriteFailure::FlushFailed, -1, errno);
        copied = false;
    }
    bool flushFailed = false;
    if (copied && !copy.WriteHead(job.writtenBytes, &flushFailed)) {
        Fail(job.failure, flushFailed ? WriteFailure::FlushFailed : WriteFailure::WriteStopped,
             flushFailed ? -1 : copy.FailedAt(), copy.Error());
        copied = false;
    }
    if (copied && job.verify) {
        const ImageReader image = [&](std::int64_t offset, char* into, std::size_t n) {
            return argv.empty()
                       ? platform::ReadFullAt(source, into, n, offset) == static_cast<long long>(n)
                       : ReadDecompressed(argv, offset, into, n);
        };
        copied = copy.Verify(image, job.verifiedBytes, job.mismatchOffset);
        if (!copied) {
            const std::int64_t mismatch = job.mismatchOffset->load();
            Fail(job.failure,
                 g_cancelThread.load() ? WriteFailure::Cancelled
                 : mismatch >= 0       ? WriteFailure::Mismatch
                                       : WriteFailure::ReadBack,
                 g_cancelThread.load() ? job.writtenBytes->load()
                 : mismatch >= 0       ? mismatch
                                       : copy.FailedAt());
        }
    }
    return copied;
}

// Opens the raw image anew, or the temporary file, into *fd and gives its
// size; false when it is not a regular file that can be read.
bool OpenSource(const write_image_thread_data& job, int* fd, std::int64_t* size) {
    // A raw image is copied from where it is: it needs no temporary copy.
    // Again only a regular file: the raw image's path is opened anew.
    const bool raw = *job.format == ImageFormat::Raw;
    *fd =
        open((raw ? job.imageFile : job.tempImageFile).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (*fd < 0) {
        Fail(job.failure, WriteFailure::NotReadable);
        return false;
    }
    struct stat st;
    *size = fstat(*fd, &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : -1;
    posix_fadvise(*fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return true;
}

// The block map beside the image, when it is usable and describes an image
// of `size` bytes; else null, and the whole image is written. The verdict
// goes to the job's record, for the window.
const BlockMap* ChooseBlockMap(const write_image_thread_data& job, std::int64_t size) {
    BlockMapInfo& info = *job.blockMap;
    info = job.useBlockMap ? FindBlockMap(job.imageFile) : BlockMapInfo{};
    if (info.Usable()) info.problem = ImageSizeProblem(info.map, size);
    if (!info.problem.empty()) {
        info.map = BlockMap{};
        Trace(("Block map ignored: " + info.problem).c_str());
    }
    if (!info.Usable()) return nullptr;
    TraceBytes("Block map: %lld of %lld bytes mapped", info.map.mappedBytes, size);
    return &info.map;
}

// The opened device for the write and the read-back (one descriptor: one
// password prompt); fd -1 when it could not be opened.
// Opened for reading too: the capacity probe reads its markers back, and the
// verification the image.
platform::OpenedDevice OpenDevice(const write_image_thread_data& job) {
    const platform::OpenedDevice device =
        platform::OpenDeviceForWriting(job.devicePath.c_str(), true, true);
    if (device.fd < 0)
        Fail(job.failure,
             device.error == ECANCELED ? WriteFailure::Cancelled : WriteFailure::CannotOpen, 0,
             device.error);
    job.contact->deviceOpen.store(device.fd >= 0);
    return device;
}

// A counterfeit stick holds less than it claims: it is probed before the
// image's first byte. An image beyond what it holds ends the job; one within
// it goes on once the window's user agrees.
bool HoldsImage(std::int64_t size, const platform::OpenedDevice& device,
                const write_image_thread_data& job) {
    if (!job.probeCapacity) return true;
    const CapacityVerdict probe = RunCapacityProbe(device, g_cancelThread);
    JobContact& contact = *job.contact;
    if (probe.kind == CapacityKind::Cancelled || contact.givenUp.load()) {
        Fail(job.failure, WriteFailure::Cancelled, 0);
        return false;
    }
    if (probe.kind == CapacityKind::Failed) {
        Trace((std::string("Capacity probe failed: ") + std::strerror(probe.error)).c_str());
        Fail(job.failure, WriteFailure::ProbeFailed, -1, probe.error);
        return false;
    }
    if (probe.kind == CapacityKind::Genuine) return true;
    Trace(("Capacity probe: the stick " +
           std::string(probe.kind == CapacityKind::Wraps ? "wraps" : "drops writes") + " beyond " +
           std::to_string(probe.realBytes) + " of its claimed " +
           std::to_string(probe.claimedBytes) + " bytes")
              .c_str());
    if (size > probe.realBytes) {
        Fail(job.failure, WriteFailure::FakeStick, probe.realBytes);
        job.failure->deviceBytes = probe.claimedBytes;
        job.failure->rangeBytes = size;
        return false;
    }
    std::unique_lock lock(contact.mutex);
    contact.question = JobContact::Question{probe.realBytes, probe.claimedBytes, size};
    contact.answer.reset();
    while (!contact.answer && !g_cancelThread.load() && !contact.givenUp.load())
        contact.answered.wait_for(lock, std::chrono::milliseconds(100));
    const bool go = contact.answer.value_or(false) && !g_cancelThread.load();
    contact.question.reset();
    if (!go) Fail(job.failure, WriteFailure::Cancelled, 0);
    return go;
}

// Checked against the opened device itself, before its first byte changes
// and before any decompressor starts.
bool FitsDevice(std::int64_t size, const platform::OpenedDevice& device,
                const write_image_thread_data& job) {
    if (device.size < 0 || size <= device.size) return true;
    TraceImageTooLarge(size, device.size);
    Fail(job.failure, WriteFailure::TooLarge, size);
    job.failure->deviceBytes = device.size;
    return false;
}

// Steps after a successful decompression (or none, for a raw or a streamed
// image): open the device, copy, flush, verify when asked, close. true when
// all of them succeeded.
bool CopyImage(const write_image_thread_data& job) {
    const bool streamed = *job.streamBytes >= 0;
    std::int64_t size = *job.streamBytes;
    int imageFd = -1;
    if (!streamed && !OpenSource(job, &imageFd, &size)) return false;
    const BlockMap* map = size > 0 ? ChooseBlockMap(job, size) : nullptr;
    job.imageBytes->store(map ? map->mappedBytes : size);

    bool copied = false;
    // Nothing to write is not a written image.
    if (size <= 0) Fail(job.failure, size == 0 ? WriteFailure::Empty : WriteFailure::NotReadable);
    // A cancel while the password prompt waits, or before it opens, is
    // not kept waiting for.
    platform::AbandonOpens(g_cancelThread.load());
    if (size > 0 && g_cancelThread.load()) Fail(job.failure, WriteFailure::Cancelled, 0);
    if (size > 0 && !g_cancelThread.load()) {
        const platform::OpenedDevice device = OpenDevice(job);
        if (device.fd >= 0) {
            copied = FitsDevice(size, device, job) && HoldsImage(size, device, job) &&
                     CopyOnto(device, size, map, imageFd,
                              streamed ? StreamArguments(*job.format, job.imageFile)
                                       : std::vector<std::string>{},
                              job);
            if (close(device.fd) != 0) {
                Fail(job.failure, WriteFailure::FlushFailed, -1, errno);
                copied = false;
            }
        }
    }
    if (imageFd >= 0) close(imageFd);
    return copied;
}

}  // namespace

void Trace(const char* line) {
    std::puts(line);
    std::fflush(stdout);
}

std::string ImageTooLargeLine(std::int64_t imageBytes, std::int64_t deviceBytes) {
    return "Image is larger than the device: " + std::to_string(imageBytes) + " bytes > " +
           std::to_string(deviceBytes) + " bytes";
}

void TraceImageTooLarge(std::int64_t imageBytes, std::int64_t deviceBytes) {
    Trace(ImageTooLargeLine(imageBytes, deviceBytes).c_str());
}

void SetString(std::string* destination, const char* source) {
    destination->assign(source);
}

bool InspectImage(const char* path, ImageFormat* format, std::int64_t* size) {
    if (!path) return false;
    // O_NONBLOCK: opening a FIFO for reading would wait for a writer.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    unsigned char magic[6] = {};
    long long got = -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        got = platform::ReadFull(fd, magic, sizeof magic);
    close(fd);
    if (got < 0) return false;
    const ImageFormat content = FormatOfContent(magic, static_cast<std::size_t>(got));
    const ImageFormat promised = FormatOfName(path);
    if (format)
        *format =
            promised == ImageFormat::Raw || promised == content ? content : ImageFormat::Damaged;
    if (size) *size = st.st_size;
    return true;
}

// Only the headers are read, a page at a time: a few bytes of each block.
bool ZstdFileSize(const std::string& image, std::int64_t* size, std::string* problem) {
    constexpr std::int64_t kPage = 4096;
    const int fd = open(image.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    *problem = "cannot be read";
    bool listed = false;
    if (fd >= 0 && fstat(fd, &st) == 0) {
        // No read-ahead of what lies between the headers.
        posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
        // The page read last serves the headers that lie in it.
        char page[kPage];
        std::int64_t pageAt = -1;
        long long pageBytes = 0;
        const ReadAt read = [&](std::int64_t offset, void* into, std::size_t n) -> long long {
            if (offset + static_cast<std::int64_t>(n) > offset / kPage * kPage + kPage)
                return platform::ReadFullAt(fd, into, n, offset);  // across a page's end
            if (offset / kPage * kPage != pageAt) {
                pageAt = offset / kPage * kPage;
                pageBytes = platform::ReadFullAt(fd, page, sizeof page, pageAt);
                if (pageBytes < 0) {
                    pageAt = -1;
                    return -1;
                }
            }
            const long long count =
                std::clamp<long long>(pageBytes - (offset - pageAt), 0, static_cast<long long>(n));
            std::memcpy(into, page + (offset - pageAt), static_cast<std::size_t>(count));
            return count;
        };
        listed = ZstdContentSize(read, st.st_size, size, problem);
    }
    if (fd >= 0) close(fd);
    return listed;
}

bool FileExists(const char* path) {
    return InspectImage(path, nullptr, nullptr);
}

std::int64_t FileSize(const char* path) {
    FILE* file = std::fopen(path, "rb");
    if (!file) return -1;
    std::int64_t size = -1;
    if (fseeko(file, 0, SEEK_END) == 0) size = ftello(file);
    std::fclose(file);
    return size;
}

namespace {

// Why the decompression command failed: the shell found no tool (127), the
// temporary directory filled up, or the image is damaged.
void FailCommand(const unzip_thread_data* job, ImageFormat format, int status) {
    const std::string tool = DecompressTool(format);
    struct statvfs fs;
    if (status == -1) {
        Fail(job->failure, WriteFailure::Other);
    } else if (WIFEXITED(status) && WEXITSTATUS(status) == 127) {
        Fail(job->failure, WriteFailure::ToolMissing, -1, 0, tool.substr(0, tool.find(' ')));
    } else if (statvfs(job->tempDirectory.c_str(), &fs) != 0 ||
               fs.f_bavail * fs.f_frsize < (1 << 20)) {  // gone, or full
        Fail(job->failure, WriteFailure::NoTempSpace, -1, 0, job->tempDirectory);
    } else {
        Fail(job->failure, WriteFailure::Damaged, -1, 0,
             tool.substr(0, tool.find(' ')) + " failed");
    }
}

}  // namespace

void* UnzipThread(void* data) {
    {
        const auto* job = static_cast<const unzip_thread_data*>(data);
        Trace("UnzipThread started!");
        *job->success = false;
        *job->format = ImageFormat::Damaged;
        *job->streamBytes = -1;
        // Checked here rather than when the image is chosen: a FIFO or a file
        // on a stalled network mount must not freeze the window. Only a
        // regular file is an image; gunzip would wait on a FIFO for ever.
        ImageFormat format = ImageFormat::Damaged;
        std::int64_t size = 0;
        if (!InspectImage(job->imageFile.c_str(), &format, &size)) {
            Fail(job->failure, WriteFailure::NotReadable);
        } else {
            *job->format = format;
            if (format == ImageFormat::Raw) {
                *job->success = true;  // written from where it is
            } else if (format == ImageFormat::Damaged) {
                Trace("Image is damaged: its content is not what its name promises");
                Fail(job->failure, WriteFailure::Misnamed);
            } else if (!ListSize(format, job->imageFile, job->streamBytes, job->failure)) {
                // An xz or zstd image whose index cannot be read is damaged (or
                // its tool is missing): decompressing it would fail as well.
            } else if (*job->streamBytes >= 0) {
                *job->success = true;  // streamed by the write thread
            } else {
                const std::string command =
                    DecompressCommand(format, job->imageFile, job->tempDirectory);
                const int status = command.size() <= kMaxCommand ? RunCommand(command) : -1;
                *job->success = status == 0;
                if (status != 0) FailCommand(job, format, status);
            }
        }
        Trace("UnzipThread finished!");
    }
    pthread_exit(nullptr);
}

void* WriteImageThread(void* data) {
    {
        const auto* job = static_cast<const write_image_thread_data*>(data);
        Trace("WriteImageThread started!");
        Trace("WriteImageThread waiting for join!");
        pthread_join(job->unzipThread, nullptr);
        Trace("WriteImageThread running!");
        const bool copied = *job->unzipSucceeded && CopyImage(*job);
        // The temporary file may be gigabytes: it goes whatever the outcome,
        // before the caller hears of the end. What a failure left behind
        // (a partial decompression, say) is unlinked directly. A raw or a
        // streamed image made none.
        const bool none = *job->format == ImageFormat::Raw || *job->streamBytes >= 0;
        bool removed = copied && (none || RunCommand(RemoveCommand(job->tempImageFile)) == 0);
        if (!removed) removed = unlink(job->tempImageFile.c_str()) == 0 || errno == ENOENT;
        const bool result = copied && removed;
        // The record belongs to the writer, which may start the next job or be
        // destroyed once the callback has run: nothing of it is read after.
        const FinishedCallback finished = job->finishedCallback;
        JobContact* const contact = job->contact;
        // A job given up reports nothing: the window has moved on.
        const bool report = finished && !contact->givenUp.load();
        contact->running.store(false);  // neither the record nor the writer is touched after
        if (report) finished(result);
    }
    Trace("WriteImageThread finished!");
    pthread_exit(nullptr);
}

DeviceImageWriter::DeviceImageWriter()
    : m_unzipData(std::make_unique<unzip_thread_data>()),
      m_writeData(std::make_unique<write_image_thread_data>()) {
    SetString(&m_tempDirectory, "/tmp/");
}

DeviceImageWriter::~DeviceImageWriter() {
    if (m_unzipThreadUnjoined) {
        // Its result is no longer wanted; cancelling it also ends the shell
        // command it waits for. Join it before its record goes away.
        pthread_cancel(m_unzipThread);
        pthread_join(m_unzipThread, nullptr);
        m_unzipThreadUnjoined = false;
    }
}

void DeviceImageWriter::SetTempDirectory(const char* directory) {
    SetString(&m_tempDirectory, directory);
}

void DeviceImageWriter::SetImageFile(const char* path) {
    SetString(&m_imageFile, path);
}

void DeviceImageWriter::SetDevice(const char* path) {
    SetString(&m_devicePath, path);
}

void DeviceImageWriter::SetVerify(bool on) {
    m_verify = on;
}

void DeviceImageWriter::SetUseBlockMap(bool on) {
    m_useBlockMap = on;
}

namespace {

// Zeroes the first kClearSize bytes and every signature libblkid finds, as
// far as the kernel's copy of the stick shows.
bool WipeAll(int fd, WriteFailure* failure) {
    const char zeros[kClearSize] = {};
    if (platform::WriteAll(fd, zeros, kClearSize) != kClearSize) {
        Fail(failure, WriteFailure::WriteStopped, 0, errno);
        return false;
    }
    // Wiping one signature may uncover another (the backup GPT once the
    // primary is gone, a RAID member's once no partition covers it).
    for (int round = 0; round < kWipeRounds; ++round) {
        const platform::SignatureScan scan = platform::FindSignatures(fd, false);
        if (scan.error != 0) {
            Fail(failure, WriteFailure::NotCleared, -1, scan.error);
            return false;
        }
        if (scan.found.empty()) break;
        std::int64_t failedAt = -1;
        if (!platform::WipeSignatures(fd, scan.found, &failedAt)) {
            Fail(failure, WriteFailure::WriteStopped, failedAt, errno);
            return false;
        }
    }
    return true;
}

}  // namespace

bool DeviceImageWriter::ClearDevice() {
    m_failure = WriteFailure{};
    if (m_devicePath.empty()) return false;
    // Read+write: the signatures are looked for through the same descriptor.
    // Without O_DIRECT: 1024 bytes may be less than one sector, and libblkid
    // reads into buffers of its own.
    const platform::OpenedDevice device =
        platform::OpenDeviceForWriting(m_devicePath.c_str(), false, true);
    if (device.fd < 0) {
        Fail(&m_failure,
             device.error == ECANCELED ? WriteFailure::Cancelled : WriteFailure::CannotOpen, 0,
             device.error);
        return false;
    }
    bool cleared = WipeAll(device.fd, &m_failure);
    if (cleared && !platform::FlushDevice(device.fd)) {
        Fail(&m_failure, WriteFailure::FlushFailed, -1, errno);
        cleared = false;
    }
    if (cleared) {
        // Only what the stick gives back once the kernel's copy is gone counts.
        const platform::SignatureScan left = platform::FindSignatures(device.fd, true);
        if (left.error != 0 || !left.found.empty()) {
            Fail(&m_failure, WriteFailure::NotCleared, -1, left.error,
                 left.error != 0 ? std::string() : platform::DescribeSignature(left.found[0]));
            cleared = false;
        }
    }
    if (close(device.fd) != 0 && cleared) {
        Fail(&m_failure, WriteFailure::FlushFailed, -1, errno);
        cleared = false;
    }
    return cleared;
}

std::optional<JobContact::Question> DeviceImageWriter::Question() {
    std::lock_guard lock(m_contact.mutex);
    return m_contact.answer ? std::nullopt : m_contact.question;
}

void DeviceImageWriter::Answer(bool go) {
    std::lock_guard lock(m_contact.mutex);
    if (m_contact.question) m_contact.answer = go;
    m_contact.answered.notify_all();
}

void DeviceImageWriter::GiveUp() {
    m_contact.givenUp.store(true);
    StopImageWriting();
}

void DeviceImageWriter::StopImageWriting() {
    g_cancelThread.store(true);
    platform::AbandonOpens(true);  // a password prompt waited on is given up
}

void DeviceImageWriter::JoinStrandedUnzipThread() {
    if (!m_unzipThreadUnjoined) return;
    // Blocks until its gunzip has ended. Cancelling instead could leave that
    // gunzip writing into the temporary file that the new job's gunzip fills.
    pthread_join(m_unzipThread, nullptr);
    m_unzipThreadUnjoined = false;
}

bool DeviceImageWriter::WriteImage(FinishedCallback finished, ProgressCallback progress) {
    m_imageBytes.store(-1);
    m_writtenBytes.store(0);
    m_verifiedBytes.store(-1);
    m_mismatchOffset.store(-1);
    m_failure = WriteFailure{};
    m_blockMap = BlockMapInfo{};
    m_contact.deviceOpen.store(false);
    if (m_devicePath.empty()) return false;
    g_cancelThread.store(false);
    platform::AbandonOpens(false);

    const std::string tempImageFile = m_tempDirectory + kTempImageName;
    // No temporary directory would put the decompressed image in whatever
    // directory the program runs in: refuse instead.
    if (m_tempDirectory.empty() || m_tempDirectory.size() > kMaxTempDirectory ||
        m_imageFile.size() + m_tempDirectory.size() > kMaxImageAndTempDirectory ||
        RemoveCommand(tempImageFile).size() > kMaxCommand) {
        m_writeThread = pthread_t{};
        return false;
    }

    if (!UnzipImageFileToTemp()) {
        m_writeThread = pthread_t{};
        return false;
    }

    *m_writeData = write_image_thread_data{};
    m_writeData->unzipThread = m_unzipThread;
    SetString(&m_writeData->imageFile, m_imageFile.c_str());
    SetString(&m_writeData->tempImageFile, tempImageFile.c_str());
    m_writeData->unzipSucceeded = &m_unzipSucceeded;
    m_writeData->format = &m_imageFormat;
    m_writeData->streamBytes = &m_streamBytes;
    m_writeData->writtenBytes = &m_writtenBytes;
    m_writeData->verify = m_verify;
    m_writeData->useBlockMap = m_useBlockMap;
    m_writeData->probeCapacity = m_probeCapacity;
    m_writeData->blockMap = &m_blockMap;
    m_writeData->imageBytes = &m_imageBytes;
    m_writeData->verifiedBytes = &m_verifiedBytes;
    m_writeData->mismatchOffset = &m_mismatchOffset;
    SetString(&m_writeData->devicePath, m_devicePath.c_str());
    m_writeData->progressCallback = progress;
    m_writeData->finishedCallback = finished;
    m_writeData->failure = &m_failure;
    m_writeData->contact = &m_contact;

    // Set before the thread starts: a short job may end (and clear it) at once.
    m_contact.running.store(true);
    const bool started = StartThread(&m_writeThread, &WriteImageThread, m_writeData.get());
    if (!started) m_contact.running.store(false);
    if (started) {
        // The write thread joins the decompression thread; nobody joins the
        // write thread, so it frees its own resources when it ends.
        m_unzipThreadUnjoined = false;
        pthread_detach(m_writeThread);
    }
    m_writeThread = pthread_t{};
    return started;
}

bool DeviceImageWriter::UnzipImageFileToTemp() {
    if (m_imageFile.empty()) return false;
    if (LongestDecompressCommand(m_imageFile, m_tempDirectory) > kMaxCommand) return false;
    JoinStrandedUnzipThread();

    *m_unzipData = unzip_thread_data{};
    SetString(&m_unzipData->imageFile, m_imageFile.c_str());
    SetString(&m_unzipData->tempDirectory, m_tempDirectory.c_str());
    m_unzipData->success = &m_unzipSucceeded;
    m_unzipData->format = &m_imageFormat;
    m_unzipData->failure = &m_failure;
    m_unzipData->streamBytes = &m_streamBytes;

    if (!StartThread(&m_unzipThread, &UnzipThread, m_unzipData.get())) return false;
    m_unzipThreadUnjoined = true;
    return true;
}
