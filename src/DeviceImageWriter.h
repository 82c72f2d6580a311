#pragma once
// DeviceImageWriter: writes a gzip-compressed disk image onto a device, and
// clears a device by zeroing its first 1024 bytes.
//
// Threads: every member is called from one thread (the window's). A write job
// runs on two POSIX worker threads: UnzipThread decompresses the image with
// `gunzip` into the temporary file "veskImage.img", WriteImageThread joins it
// and copies the file onto the device in 8 MiB chunks (direct I/O on a block
// device), flushes the device and removes the temporary file. They report
// through the two plain callbacks below, on the write thread; the write
// thread is detached, nobody joins it.
//
// Ownership: the writer owns its settings and its two job records; the worker
// threads only read their record. The caller must not start another job or
// destroy the writer before the running job's completion callback.

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

// Called once per started job, on the write thread: true = image written and
// flushed to the device.
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

// true when the path can be opened for reading.
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
    ProgressCallback progressCallback = nullptr;
    FinishedCallback finishedCallback = nullptr;
};

void* UnzipThread(void* data);
void* WriteImageThread(void* data);

// Test seams. The shell commands run through a runner (std::system unless
// replaced) and the worker threads are created through a starter
// (pthread_create unless replaced). nullptr restores the default. Set them
// only while no job runs.
namespace writer_seams {
using CommandRunner = int (*)(const char* command);
using ThreadStarter = int (*)(pthread_t* thread, const pthread_attr_t* attributes,
                              void* (*start)(void*), void* argument);
void SetCommandRunner(CommandRunner runner);
void SetThreadStarter(ThreadStarter starter);
}  // namespace writer_seams

class DeviceImageWriter {
  public:
    DeviceImageWriter();
    ~DeviceImageWriter();
    DeviceImageWriter(const DeviceImageWriter&) = delete;
    DeviceImageWriter& operator=(const DeviceImageWriter&) = delete;

    void SetTempDirectory(const char* directory);  // used as a prefix: end it with "/"
    void SetImageFile(const char* path);           // kept only if the file exists
    void SetDevice(const char* path);

    // Zeroes the first 1024 bytes of the device and flushes them; blocks the
    // caller for that time.
    bool ClearDevice();
    void StopImageWriting();
    // false without starting anything when there is no device path, no valid
    // image, or the paths are too long for the job's commands (temporary
    // directory over 498 bytes, image path and temporary directory together
    // over 995 bytes, or a shell command over 1023 bytes once quoted).
    bool WriteImage(FinishedCallback finished, ProgressCallback progress);
    bool UnzipImageFileToTemp();

    const std::string& TempDirectory() const { return m_tempDirectory; }
    const std::string& ImageFile() const { return m_imageFile; }
    const std::string& DevicePath() const { return m_devicePath; }
    bool ImageFileValid() const { return m_imageFileValid; }

  private:
    // Waits for a decompression thread that no write thread took over (its
    // write thread could not be started), so its record may be refilled.
    void JoinStrandedUnzipThread();

    std::string m_tempDirectory;
    std::string m_imageFile;
    std::string m_devicePath;
    bool m_imageFileValid = false;
    bool m_unzipSucceeded = false;
    pthread_t m_unzipThread{};
    std::unique_ptr<unzip_thread_data> m_unzipData;
    pthread_t m_writeThread{};
    std::unique_ptr<write_image_thread_data> m_writeData;
    // m_unzipThread was started and nobody has joined it or handed it to a
    // write thread: only then may the handle be joined or cancelled.
    bool m_unzipThreadUnjoined = false;
};
