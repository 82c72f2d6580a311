#include "DeviceImageWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/DeviceAccess.h"

std::atomic<bool> g_cancelThread{false};

namespace {

constexpr std::size_t kBlockSize = 524288;  // unit of a chunk's main write
constexpr std::size_t kBufferAlignment = 4096;
constexpr std::size_t kClearSize = 1024;

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

const char* DecompressTool(ImageFormat format) {
    switch (format) {
        case ImageFormat::Gzip:
            return "gunzip -c";
        case ImageFormat::Xz:
            return "xz -dc";
        case ImageFormat::Zstd:
            return "zstd -dc";
        case ImageFormat::Bzip2:
            return "bzip2 -dc";
        default:
            return nullptr;
    }
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

ImageFormat FormatOfContent(const unsigned char* magic, std::size_t length) {
    const auto starts = [&](std::initializer_list<unsigned char> bytes) {
        return length >= bytes.size() && std::equal(bytes.begin(), bytes.end(), magic);
    };
    if (starts({0x1f, 0x8b})) return ImageFormat::Gzip;
    if (starts({0xfd, 0x37, 0x7a, 0x58, 0x5a, 0x00})) return ImageFormat::Xz;
    if (starts({0x28, 0xb5, 0x2f, 0xfd})) return ImageFormat::Zstd;
    if (starts({0x42, 0x5a, 0x68})) return ImageFormat::Bzip2;
    return ImageFormat::Raw;
}

// The compression a file name promises; Raw when it promises none.
ImageFormat FormatOfName(const std::string& path) {
    const std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos)
        return ImageFormat::Raw;
    std::string extension = path.substr(dot + 1);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (extension == "gz" || extension == "imgz") return ImageFormat::Gzip;
    if (extension == "xz") return ImageFormat::Xz;
    if (extension == "zst") return ImageFormat::Zstd;
    if (extension == "bz2") return ImageFormat::Bzip2;
    return ImageFormat::Raw;
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

std::int32_t ClampToInt32(std::int64_t value) {
    return static_cast<std::int32_t>(std::min<std::int64_t>(value, INT32_MAX));
}

struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
};
using AlignedBuffer = std::unique_ptr<char, FreeDeleter>;

void TraceBytes(const char* format, long long a, long long b = 0) {
    char line[128];
    std::snprintf(line, sizeof line, format, a, b);
    Trace(line);
}

// Copies the open image onto the device chunk by chunk, through `buffer`
// (kChunkSize bytes, aligned for direct I/O). true when the whole file was
// written; false on cancellation, a read error or a write that did not take
// every byte (the end of the device).
bool CopyToDevice(int imageFd, const platform::OpenedDevice& device, char* buffer,
                  std::int64_t totalChunks, ProgressCallback progress) {
    const std::size_t sector = static_cast<std::size_t>(std::max(device.logicalBlockSize, 1));
    bool direct = device.direct;
    std::int64_t lastStep = -1;
    std::int64_t currentChunk = 0;
    for (;;) {
        const long long got = platform::ReadFull(imageFd, buffer, kChunkSize);
        if (got < 0) return false;
        if (got == 0) return true;
        const std::size_t n = static_cast<std::size_t>(got);
        ++currentChunk;
        if (g_cancelThread.load()) return false;

        const std::size_t blockBytes = n / kBlockSize * kBlockSize;
        std::size_t written = 0;
        if (blockBytes > 0) written = platform::WriteAll(device.fd, buffer, blockBytes);
        const std::size_t remainder = n - blockBytes;
        if (remainder > 0 && written == blockBytes) {
            // Only the image's last piece can be shorter than a block. If it is
            // not whole sectors, O_DIRECT would refuse it: write it through the
            // page cache, so the device gets exactly the image's bytes; the
            // final fsync puts it on the device.
            if (direct && remainder % sector != 0) {
                if (!platform::SetDirect(device.fd, false)) return false;
                direct = false;
            }
            written += platform::WriteAll(device.fd, buffer + blockBytes, remainder);
        }

        if (progress) {
            const std::int64_t step = 100 * currentChunk / std::max<std::int64_t>(totalChunks, 1);
            if (step != lastStep) {
                progress(ClampToInt32(totalChunks), ClampToInt32(currentChunk));
                lastStep = step;
            }
        }
        if (written != n) return false;
    }
}

// Reads the device back, bypassing the page cache, and compares it with the
// image's `size` bytes. true when every byte is equal; a difference is traced
// with its offset. Cancellation ends it with false.
bool VerifyDevice(int imageFd, const platform::OpenedDevice& device, std::int64_t size,
                  char* deviceBuffer, const write_image_thread_data& job) {
    Trace("Verification started!");
    job.verifiedBytes->store(0);
    // Read through the cache, the bytes could be the ones just written and
    // not the device's. Direct reads bypass it; where the driver takes no
    // direct I/O, the flushed (so clean) cached pages are dropped instead.
    const bool direct = device.direct && platform::SetDirect(device.fd, true);
    if (!direct) posix_fadvise(device.fd, 0, 0, POSIX_FADV_DONTNEED);
    // Direct reads are whole sectors; the image's last sector on the device
    // is read whole and compared as far as the image goes.
    const std::size_t sector = direct ? static_cast<std::size_t>(device.logicalBlockSize) : 1;
    const std::unique_ptr<char[]> image(new (std::nothrow) char[kChunkSize]);
    if (!image) return false;
    for (std::int64_t offset = 0; offset < size;) {
        if (g_cancelThread.load()) return false;
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::int64_t>(size - offset, kChunkSize));
        const std::size_t whole = (n + sector - 1) / sector * sector;
        if (platform::ReadFullAt(device.fd, deviceBuffer, whole, offset) <
                static_cast<long long>(n) ||
            platform::ReadFullAt(imageFd, image.get(), n, offset) != static_cast<long long>(n)) {
            TraceBytes("Verification failed: the device could not be read at byte %lld", offset);
            return false;
        }
        if (std::memcmp(deviceBuffer, image.get(), n) != 0) {
            const std::int64_t at =
                offset +
                (std::mismatch(deviceBuffer, deviceBuffer + n, image.get()).first - deviceBuffer);
            job.mismatchOffset->store(at);
            TraceBytes("Verification failed at byte %lld", at);
            return false;
        }
        offset += static_cast<std::int64_t>(n);
        job.verifiedBytes->store(offset);
    }
    Trace("Verification succeeded!");
    return true;
}

// Steps after a successful decompression (or none, for a raw image): copy,
// flush, verify when asked, close. true when all of them succeeded.
bool CopyImage(const write_image_thread_data& job) {
    // A raw image is copied from where it is: it needs no temporary copy.
    const bool raw = *job.format == ImageFormat::Raw;
    const std::string& source = raw ? job.imageFile : job.tempImageFile;
    // Again only a regular file: the raw image's path is opened anew.
    const int imageFd = open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (imageFd < 0) return false;
    struct stat st;
    const std::int64_t size = fstat(imageFd, &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : -1;
    job.imageBytes->store(size);
    // Nothing to write is not a written image.
    if (size <= 0) {
        close(imageFd);
        return false;
    }
    posix_fadvise(imageFd, 0, 0, POSIX_FADV_SEQUENTIAL);
    const std::int64_t totalChunks = size / static_cast<std::int64_t>(kChunkSize);

    bool copied = false;
    // One descriptor for the write and the read-back: one password prompt.
    const platform::OpenedDevice device =
        platform::OpenDeviceForWriting(job.devicePath.c_str(), true, job.verify);
    if (device.fd >= 0) {
        // O_DIRECT needs a buffer aligned to the sector size; one buffer
        // serves the whole job.
        void* memory = nullptr;
        const std::size_t alignment = std::max<std::size_t>(
            kBufferAlignment, static_cast<std::size_t>(device.logicalBlockSize));
        const AlignedBuffer buffer(posix_memalign(&memory, alignment, kChunkSize) == 0
                                       ? static_cast<char*>(memory)
                                       : nullptr);
        if (device.size >= 0 && size > device.size) {
            // Checked against the opened device itself, before its first byte
            // changes.
            TraceImageTooLarge(size, device.size);
        } else if (buffer) {
            copied = CopyToDevice(imageFd, device, buffer.get(), totalChunks, job.progressCallback);
            // Success means the bytes are on the device, not in a cache.
            if (copied) copied = platform::FlushDevice(device.fd);
            if (copied && job.verify)
                copied = VerifyDevice(imageFd, device, size, buffer.get(), job);
        }
        if (close(device.fd) != 0) copied = false;
    }
    close(imageFd);
    return copied;
}

}  // namespace

void Trace(const char* line) {
    std::puts(line);
    std::fflush(stdout);
}

void TraceImageTooLarge(std::int64_t imageBytes, std::int64_t deviceBytes) {
    TraceBytes("Image is larger than the device: %lld bytes > %lld bytes", imageBytes, deviceBytes);
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

void* UnzipThread(void* data) {
    {
        const auto* job = static_cast<const unzip_thread_data*>(data);
        Trace("UnzipThread started!");
        *job->success = false;
        *job->format = ImageFormat::Damaged;
        // Checked here rather than when the image is chosen: a FIFO or a file
        // on a stalled network mount must not freeze the window. Only a
        // regular file is an image; gunzip would wait on a FIFO for ever.
        ImageFormat format = ImageFormat::Damaged;
        std::int64_t size = 0;
        if (InspectImage(job->imageFile.c_str(), &format, &size)) {
            *job->format = format;
            if (format == ImageFormat::Raw) {
                *job->success = true;  // written from where it is
            } else if (format == ImageFormat::Damaged) {
                Trace("Image is damaged: its content is not what its name promises");
            } else {
                const std::string command =
                    DecompressCommand(format, job->imageFile, job->tempDirectory);
                *job->success = command.size() <= kMaxCommand && RunCommand(command) == 0;
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
        // (a partial decompression, say) is unlinked directly. A raw image
        // made none.
        const bool raw = *job->format == ImageFormat::Raw;
        bool removed = copied && (raw || RunCommand(RemoveCommand(job->tempImageFile)) == 0);
        if (!removed) removed = unlink(job->tempImageFile.c_str()) == 0 || errno == ENOENT;
        const bool result = copied && removed;
        // The record belongs to the writer, which may start the next job or be
        // destroyed once the callback has run: nothing of it is read after.
        const FinishedCallback finished = job->finishedCallback;
        if (finished) finished(result);
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

bool DeviceImageWriter::ClearDevice() {
    if (m_devicePath.empty()) return false;
    // Without O_DIRECT: 1024 bytes may be less than one sector.
    const platform::OpenedDevice device =
        platform::OpenDeviceForWriting(m_devicePath.c_str(), false);
    if (device.fd < 0) return false;
    const char zeros[kClearSize] = {};
    bool cleared = platform::WriteAll(device.fd, zeros, kClearSize) == kClearSize;
    if (cleared) cleared = platform::FlushDevice(device.fd);
    if (close(device.fd) != 0) cleared = false;
    return cleared;
}

void DeviceImageWriter::StopImageWriting() {
    g_cancelThread.store(true);
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
    m_verifiedBytes.store(-1);
    m_mismatchOffset.store(-1);
    if (m_devicePath.empty()) return false;
    g_cancelThread.store(false);

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
    m_writeData->verify = m_verify;
    m_writeData->imageBytes = &m_imageBytes;
    m_writeData->verifiedBytes = &m_verifiedBytes;
    m_writeData->mismatchOffset = &m_mismatchOffset;
    SetString(&m_writeData->devicePath, m_devicePath.c_str());
    m_writeData->progressCallback = progress;
    m_writeData->finishedCallback = finished;

    const bool started = StartThread(&m_writeThread, &WriteImageThread, m_writeData.get());
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

    if (!StartThread(&m_unzipThread, &UnzipThread, m_unzipData.get())) return false;
    m_unzipThreadUnjoined = true;
    return true;
}
