#pragma once
// ImageCopy: puts exactly an image's bytes onto an opened device, and reads
// them back. The bytes come from a descriptor: the raw image, the temporary
// file, or a decompressor's pipe. A reader thread fills the BufferQueue while
// the write thread writes each buffer onto the device, so that reading (or
// decompressing) and writing overlap. Every buffer-sized piece written gets a
// hash (XXH3, 128 bits): the read-back then reads the device alone, and the
// image is read again only for the first piece that differs, to find its
// first differing byte.
//
// Threads: the job's write thread calls everything; Copy starts the reader
// thread and joins it before it returns.
// Ownership: the caller owns the device and the source; the object owns its
// buffers and hashes.

#include <xxhash.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "DeviceImageWriter.h"
#include "platform/kernel/DeviceAccess.h"
#include "writer/BufferQueue.h"

// Four buffers of 2 MiB: enough to keep both sides busy, and the reader is
// never more than 8 MiB (one chunk) ahead of the device.
inline constexpr std::size_t kQueueBuffers = 4;
inline constexpr std::size_t kPieceSize = kChunkSize / kQueueBuffers;

// Reads bytes [offset, offset + size) of the image into `into`; true when
// all of them came.
using ImageReader = std::function<bool(std::int64_t offset, char* into, std::size_t size)>;

class ImageCopy {
  public:
    enum class Result { Done, Cancelled, WriteFailed, ReadFailed, EndedEarly, Longer };

    // `size`: the bytes the source must give, no fewer and no more.
    ImageCopy(const platform::OpenedDevice& device, std::int64_t size);
    bool Allocated() const { return m_queue.Allocated(); }

    // Copies the source onto the device from its first byte, reporting
    // progress per chunk (see ProgressCallback) and the bytes written so far.
    // Cancellation is looked at before every piece. When the copy stops
    // before the source's end, `interrupt` unblocks a reader that waits on
    // the source (it ends a decompressor).
    Result Copy(int source, ProgressCallback progress, std::atomic<std::int64_t>* written,
                const std::function<void()>& interrupt);
    // Bytes the source gave during Copy, up to the size and one more.
    std::int64_t SourceBytes() const { return m_sourceBytes; }
    // Where a write the device did not take in full stopped (the first byte
    // it did not take), or where the read-back could not read; and the
    // write's errno.
    std::int64_t FailedAt() const { return m_failedAt; }
    int Error() const { return m_error; }

    // Reads the device back past the page cache and compares every piece with
    // what was written. true when all are equal. A difference is traced with
    // its first differing byte, which goes to *mismatch; a read error and
    // cancellation fail too.
    bool Verify(const ImageReader& image, std::atomic<std::int64_t>* verified,
                std::atomic<std::int64_t>* mismatch);

  private:
    Result ReadSource(int source);
    // The bytes of the piece the device took.
    std::size_t WritePiece(const char* data, std::size_t size);
    void Report(std::int64_t end, ProgressCallback progress);

    const platform::OpenedDevice& m_device;
    const std::int64_t m_size;
    BufferQueue m_queue;
    bool m_direct;
    std::int64_t m_sourceBytes = 0;
    std::int64_t m_lastStep = -1;
    std::int64_t m_failedAt = -1;
    int m_error = 0;
    std::vector<XXH128_hash_t> m_hashes;
};
