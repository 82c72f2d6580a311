#pragma once
// DeviceImageWriter: writes a disk image onto a device, and clears a device
// (see ClearDevice). An image is raw, or compressed with gzip,
// xz, zstd or bzip2; its first bytes tell which (see InspectImage).
//
// Threads: the window's thread sets the writer up and starts, cancels and
// watches jobs (ImageBytes, WrittenBytes, VerifiedBytes and MismatchOffset
// may be called from any thread). ClearDevice blocks while the device opens,
// which may wait on a password prompt: the controller runs it on a thread of
// its own, while no other member is called. A write job runs on two POSIX
// worker threads. UnzipThread checks that the image is a regular file and
// tells its format from its content. A raw image needs no copy; an xz image
// whose index, or a zstd image whose frame headers, give its decompressed
// size is streamed; any other compressed image it decompresses with the
// system's tool, through the shell, into the temporary file kTempImageName.
// WriteImageThread joins it, looks for a block map beside the image
// (writer/BlockMap), refuses an image larger than the device, copies the raw
// image, the temporary file or the decompressor's output (started without a
// shell, see platform/ChildProcess) onto the device in pieces that a reader
// thread fills meanwhile (ImageCopy; direct I/O on a block device): all of
// it, or only the ranges a usable map names. The device's first MiB is
// zeroed before the first image byte reaches it and the image's first MiB is
// written last, after the rest is flushed, so that an unfinished write
// leaves no partition table. It flushes the device, reads it back and
// compares when verification is on, and removes the temporary file. They
// report through the two plain callbacks below, on the write thread; the
// write thread is detached, nobody joins it.
//
// Ownership: the writer owns its settings and its two job records; the worker
// threads only read their record. The caller must not start another job or
// destroy the writer before the running job's completion callback.

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "writer/BlockMap.h"
#include "writer/ImageFormat.h"

// The decompressed image inside the temporary directory; its growth shows
// that decompression is under way.
inline constexpr char kTempImageName[] = "veskImage.img";
// One step of the progress count: 8 MiB of the decompressed image.
inline constexpr std::size_t kChunkSize = 8388608;

// Writes one trace line to standard output, flushed at once so that the lines
// of all threads keep their order when standard output is a pipe or a file.
void Trace(const char* line);
// The trace line of an image refused for its size, and its printing.
std::string ImageTooLargeLine(std::int64_t imageBytes, std::int64_t deviceBytes);
void TraceImageTooLarge(std::int64_t imageBytes, std::int64_t deviceBytes);

// Called once per started job, on the write thread, after the temporary file
// is gone: true = image written and flushed to the device (and, with
// verification on, read back equal). An image that is not a regular file,
// is damaged (its decompressor fails, or gives fewer or more bytes than its
// index announced, or a range of its block map differs from the map's
// checksum), holds no bytes at all or is larger than the device gives false,
// as does a cancelled job.
using FinishedCallback = void (*)(bool success);
// Called on the write thread: total chunks (whole 8 MiB chunks in the image,
// or in its mapped bytes when a block map is used, rounded down), current
// chunk (1-based; the last may be total + 1). A chunk is reported when
// 100 * current / total changes; with a total of 0 (under 8 MiB) the divisor
// is taken as 1, so the one chunk is reported as (0, 1).
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

// Opens the image (a regular file only; never waits for a FIFO's writer) and
// gives its format and its file size in bytes (the image's own size only
// when raw). false when it is not a regular file that can be read. A file on
// a stalled mount may block: call it on a worker thread.
bool InspectImage(const char* path, ImageFormat* format, std::int64_t* size);

// A zstd image's decompressed size from its frame headers (ZstdContentSize),
// never a pass over the whole file: *size, -1 when a frame does not record
// it. false, and *problem, when the file cannot be read or is damaged. A file
// on a stalled mount may block: call it on a worker thread.
bool ZstdFileSize(const std::string& image, std::int64_t* size, std::string* problem);

// Why the last job (or clear) failed, for the window: set by the job's
// threads, the first failure only, before the completion callback, and read
// after it.
struct WriteFailure {
    enum Kind {
        None,
        NotReadable,   // the image is not a regular file that can be read
        Misnamed,      // its name promises a compression its content lacks
        Damaged,       // its decompressor failed: `detail` says how
        ToolMissing,   // `detail`: the decompressor that is not installed
        Empty,         // it holds no bytes
        TooLarge,      // `offset`: the image's bytes, `deviceBytes`: the stick's
        NoTempSpace,   // `detail`: the temporary directory that is full
        CannotOpen,    // the stick could not be opened: `error`
        WriteStopped,  // the stick took no more at byte `offset`: `error`
        FlushFailed,   // the stick did not confirm the data: `error`
        Mismatch,      // the read-back differs at byte `offset`
        ReadBack,      // the stick could not be read back at byte `offset`
        Cancelled,     // `offset`: the bytes written by then
        NotCleared,    // the cleared stick still holds the signature `detail` names (it
                       // ignores writes); `detail` empty: it could not be probed, `error`
        Other,         // standard output tells
        // The image's bytes [offset, offset + rangeBytes), a range of its block
        // map, differ from the map's checksum: the image or the map is damaged.
        RangeDiffers,
        // A counterfeit stick: it holds `offset` bytes of the `deviceBytes` it
        // claims, fewer than the image's `rangeBytes`; nothing was written.
        FakeStick,
        ProbeFailed,  // the stick failed while its real size was checked: `error`
    };
    Kind kind = None;
    std::int64_t offset = -1;
    std::int64_t deviceBytes = -1;
    std::int64_t rangeBytes = -1;
    int error = 0;
    std::string detail;
};

struct unzip_thread_data {
    std::string imageFile;
    std::string tempDirectory;
    bool* success = nullptr;
    ImageFormat* format = nullptr;
    std::int64_t* streamBytes = nullptr;  // the streamed image's size; -1: not streamed
    WriteFailure* failure = nullptr;
};

// What the write thread and the window share besides the counters: whether
// the stick is open (what the job does from then on no longer waits on the
// user), the question the job waits on, and whether the job was given up.
struct JobContact {
    std::atomic<bool> deviceOpen{false};
    std::atomic<bool> givenUp{false};
    // The job's thread may still use the writer: false from just before its
    // callback (or where a job given up would have called it).
    std::atomic<bool> running{false};
    std::mutex mutex;  // guards the two below
    std::condition_variable answered;
    // Asked: the stick holds `realBytes` of the `claimedBytes` it claims,
    // and the image fits in them; the job goes on once the answer is yes.
    struct Question {
        std::int64_t realBytes = -1, claimedBytes = -1, imageBytes = -1;
    };
    std::optional<Question> question;
    std::optional<bool> answer;
};

struct write_image_thread_data {
    pthread_t unzipThread{};
    std::string imageFile;
    std::string tempImageFile;
    std::string devicePath;
    bool* unzipSucceeded = nullptr;
    const ImageFormat* format = nullptr;
    const std::int64_t* streamBytes = nullptr;
    bool verify = false;
    bool useBlockMap = false;
    bool probeCapacity = true;
    BlockMapInfo* blockMap = nullptr;
    std::atomic<std::int64_t>* imageBytes = nullptr;
    std::atomic<std::int64_t>* writtenBytes = nullptr;
    std::atomic<std::int64_t>* verifiedBytes = nullptr;
    std::atomic<std::int64_t>* mismatchOffset = nullptr;
    ProgressCallback progressCallback = nullptr;
    FinishedCallback finishedCallback = nullptr;
    WriteFailure* failure = nullptr;
    JobContact* contact = nullptr;
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
    // Read the device back after writing and compare it with the image; a
    // difference fails the job. Off until turned on; read when a job starts.
    void SetVerify(bool on);
    // Write only the ranges of a usable block map beside the image (on until
    // turned off; read when a job starts). Off, the whole image is written,
    // and what the map leaves out is written too.
    void SetUseBlockMap(bool on);
    // Probe the stick's real size before writing (on until turned off; read
    // when a job starts). Only the benchmark, which measures what the probe
    // costs, turns it off.
    void SetCapacityProbe(bool on) { m_probeCapacity = on; }

    // Zeroes the first 1024 bytes of the device and the magic bytes of every
    // signature libblkid finds on it (partition tables, the backup GPT, file
    // systems, RAID and LVM members), and nothing in between, so it takes
    // seconds whatever the size. true only once the data is flushed and a
    // fresh probe, past the kernel's cache, finds nothing. Blocks the caller
    // for that time.
    bool ClearDevice();
    void StopImageWriting();
    // false without starting anything when there is no device path, no image
    // path, or the paths are too long for the job's commands (temporary
    // directory over 498 bytes, image path and temporary directory together
    // over 995 bytes, or a shell command over 1023 bytes once quoted).
    bool WriteImage(FinishedCallback finished, ProgressCallback progress);
    bool UnzipImageFileToTemp();

    // The bytes the running or last job writes: the decompressed image's
    // size, or with a usable block map the bytes it maps. Known once
    // decompression has succeeded (before the copy starts); -1 until then.
    // WriteImage resets it.
    std::int64_t ImageBytes() const { return m_imageBytes.load(); }
    // Bytes of the image written onto the device so far, as each piece of up
    // to kPieceSize (2 MiB) is written; a write the device did not take in
    // full is not counted, nor the image's first MiB until it is written, at
    // the end. With a map, only mapped bytes count. Keeps its last value
    // after the job; WriteImage resets it to 0.
    std::int64_t WrittenBytes() const { return m_writtenBytes.load(); }
    // Bytes read back and found equal so far (with a map, mapped bytes): -1
    // until the job's verification starts (and throughout a job without it).
    // Keeps its last value after the job; WriteImage resets it.
    std::int64_t VerifiedBytes() const { return m_verifiedBytes.load(); }
    // The block map the running or last job found beside the image: none
    // (empty path), used, or ignored and why. Readable once ImageBytes() is
    // no longer -1, and after the completion callback; WriteImage resets it.
    const BlockMapInfo& JobBlockMap() const { return m_blockMap; }
    // Offset of the first byte on the device that differs from the image, or
    // -1 when none was found. WriteImage resets it.
    std::int64_t MismatchOffset() const { return m_mismatchOffset.load(); }
    // Why the last job or clear failed; read it after the job's completion
    // callback, or after ClearDevice returned. WriteImage resets it.
    const WriteFailure& Failure() const { return m_failure; }

    // Right after the stick is opened, before the image's first byte, the job
    // probes its real size (CapacityProbe). An image larger than a
    // counterfeit stick really holds fails the job (FakeStick); one it holds
    // is written only once the caller answers Question() with yes.
    std::optional<JobContact::Question> Question();
    void Answer(bool go);
    // The stick is open and the job works on it: probe, copy, read-back.
    bool DeviceOpen() const { return m_contact.deviceOpen.load(); }
    // Gives the running job up for good, when its stick stopped answering:
    // it stops at its next chance and calls no callback any more. The writer
    // must outlive the job's thread, so whoever gives up keeps it to the end.
    void GiveUp();
    // A job's thread may still use this writer.
    bool JobRunning() const { return m_contact.running.load(); }

  private:
    // Waits for a decompression thread that no write thread took over (its
    // write thread could not be started), so its record may be refilled.
    void JoinStrandedUnzipThread();

    std::string m_tempDirectory;
    std::string m_imageFile;
    std::string m_devicePath;
    bool m_verify = false;
    bool m_useBlockMap = true;
    bool m_probeCapacity = true;
    BlockMapInfo m_blockMap;
    bool m_unzipSucceeded = false;
    ImageFormat m_imageFormat = ImageFormat::Damaged;
    std::int64_t m_streamBytes = -1;
    JobContact m_contact;
    std::atomic<std::int64_t> m_imageBytes{-1};
    std::atomic<std::int64_t> m_writtenBytes{0};
    std::atomic<std::int64_t> m_verifiedBytes{-1};
    std::atomic<std::int64_t> m_mismatchOffset{-1};
    WriteFailure m_failure;
    pthread_t m_unzipThread{};
    std::unique_ptr<unzip_thread_data> m_unzipData;
    pthread_t m_writeThread{};
    std::unique_ptr<write_image_thread_data> m_writeData;
    // m_unzipThread was started and nobody has joined it or handed it to a
    // write thread: only then may the handle be joined or cancelled.
    bool m_unzipThreadUnjoined = false;
};
