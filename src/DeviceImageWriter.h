#pragma once
// DeviceImageWriter: writes a gzip-compressed disk image onto a device, and
// clears a device by zeroing its first 1024 bytes.
//
// Threads: the window's thread sets the writer up and starts, cancels and
// watches jobs (ImageBytes may be called from any thread). ClearDevice
// blocks while the device opens, which may wait on a password prompt: the
// controller runs it on a thread of its own, while no other member is called.
// A write job runs on two POSIX worker threads: UnzipThread checks that the
// image is a regular file and decompresses it with `gunzip` into the
// temporary file kTempImageName, WriteImageThread joins it and copies the
// file onto the device in chunks of kChunkSize (direct I/O on a block
// device), flushes the device and removes the temporary file. They report
// through the two plain callbacks below, on the write thread; the write
// thread is detached, nobody joins it.
//
// Ownership: the writer owns its settings and its two job records; the worker
// threads only read their record. The caller must not start another job or
// destroy the writer before the running job's completion callback.

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// The decompressed image inside the temporary directory; its growth shows
// that decompression is under way.
inline constexpr char kTempImageName[] = "veskImage.img";
// One read of the decompressed image, one step of the progress count.
inline constexpr std::size_t kChunkSize = 8388608;

// Writes one trace line to standard output, flushed at once so that the lines
// of all threads keep their order when standard output is a pipe or a file.
void Trace(const char* line);

// Called once per started job, on the write thread, after the temporary file
// is gone: true = image written and flushed to the device. An image that is
// not a regular file, or that decompresses to no bytes at all, gives false.
using FinishedCallback = void (*)(bool success);
// Called on the write thread: total chunks (whole 8 MiB chunks in the image,
// rounded down), current chunk (1-based; the last may be total + 1). A chunk
// is reported when 100 * current / total changes; with a total of 0 (image
// under 8 MiB) the divisor is taken as 1, so the one chunk is reported as
// (0, 1).
using ProgressCallback = void (*)(std::int32_t total, std::int32_t current);

// Process-wide: set by StopImageWriting, cleared when a job starts, read by
// the write thread once per chunk.
extern std::atomic<bool> g_cancelThread;

// Replaces *destination by a copy of source; an empty source leaves it empty
// ("none").
void SetString(std::string* destination, const char* source);

// true when the path is a regular file that can be opened for reading. Never
// waits for a FIFO's writer; a file on a stalled mount may still block, so
// the window's thread does not call it.
bool FileExists(const char* path);

// Size in bytes of the file at path, or -1 when it cannot be opened.
std::int64_t FileSize(const char* path);

struct unzip_thread_data {
    std::string imageFile;
    std::string tempDirectory;
    bool* success = nullptr;
};

struct write_image_thread_data {
    pthread_t unzipThread{};
    std::string tempImageFile;
    std::string devicePath;
    bool* unzipSucceeded = nullptr;
    std::atomic<std::int64_t>* imageBytes = nullptr;
    ProgressCallback progressCallback = nullptr;
    FinishedCallback finishedCallback = nullptr;
};

void* UnzipThread(void* data);
void* WriteImageThread(void* data);

class DeviceImageWriter {
  public:
    DeviceImageWriter();
    ~DeviceImageWriter();
    DeviceImageWriter(const DeviceImageWriter&) = delete;
    DeviceImageWriter& operator=(const DeviceImageWriter&) = delete;

    void SetTempDirectory(const char* directory);  // used as a prefix: end it with "/"
    // Only keeps the path: the job checks the file on its own thread.
    void SetImageFile(const char* path);
    void SetDevice(const char* path);

    // Zeroes the first 1024 bytes of the device and flushes them; blocks the
    // caller for that time.
    bool ClearDevice();
    void StopImageWriting();
    // false without starting anything when there is no device path, no image
    // path, or the paths are too long for the job's commands (temporary
    // directory over 498 bytes, image path and temporary directory together
    // over 995 bytes, or a shell command over 1023 bytes once quoted).
    bool WriteImage(FinishedCallback finished, ProgressCallback progress);
    bool UnzipImageFileToTemp();

    // Size in bytes of the decompressed image of the running or last job, known
    // once decompression has succeeded (before the copy starts); -1 until then.
    // WriteImage resets it.
    std::int64_t ImageBytes() const { return m_imageBytes.load(); }

  private:
    // Waits for a decompression thread that no write thread took over (its
    // write thread could not be started), so its record may be refilled.
    void JoinStrandedUnzipThread();

    std::string m_tempDirectory;
    std::string m_imageFile;
    std::string m_devicePath;
    bool m_unzipSucceeded = false;
    std::atomic<std::int64_t> m_imageBytes{-1};
    pthread_t m_unzipThread{};
    std::unique_ptr<unzip_thread_data> m_unzipData;
    pthread_t m_writeThread{};
    std::unique_ptr<write_image_thread_data> m_writeData;
    // m_unzipThread was started and nobody has joined it or handed it to a
    // write thread: only then may the handle be joined or cancelled.
    bool m_unzipThreadUnjoined = false;
};
