#pragma once
// ImageCopy: puts exactly an image's bytes (or, with a block map, its mapped
// ranges) onto an opened device, and reads them back. The bytes come from a
// descriptor: the raw image, the temporary file, or a decompressor's pipe. A
// reader thread fills the BufferQueue while the write thread writes each
// buffer onto the device, so that reading (or decompressing) and writing
// overlap. Every piece written gets a hash (XXH3, 128 bits): the read-back
// then reads the device alone, and the image is read again only for the first
// piece that differs, to find its first differing byte.
//
// Blank until complete: the image's first MiB (the head, where partition
// tables and file-system signatures live) is held back. Just before the
// first byte of the image reaches the device, the device's first MiB is
// zeroed and flushed; the head is written last (WriteHead), after the rest is
// on the device and flushed. A copy that stops on the way leaves no partition
// table and no signature at the start.
//
// With a block map the reader reads the source through, skips (seeks past, or
// reads and drops) what is not mapped, and checks each range's checksum as it
// reads it; a range that differs stops the copy before its last piece is
// written.
//
// Threads: the job's write thread calls everything; Copy starts the reader
// thread and joins it before it returns.
// Ownership: the caller owns the device, the source and the map's ranges; the
// object owns its buffers, the held head and the hashes.

#include <xxhash.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "DeviceImageWriter.h"
#include "platform/kernel/DeviceAccess.h"
#include "writer/BlockMap.h"
#include "writer/BufferQueue.h"

// Four buffers of 2 MiB: enough to keep both sides busy, and the reader is
// never more than 8 MiB (one chunk) ahead of the device.
inline constexpr std::size_t kQueueBuffers = 4;
inline constexpr std::size_t kPieceSize = kChunkSize / kQueueBuffers;
// The start of the device that is zeroed first and written last.
inline constexpr std::size_t kHeadSize = 1 << 20;

// Reads bytes [offset, offset + size) of the image into `into`; true when
// all of them came.
using ImageReader = std::function<bool(std::int64_t offset, char* into, std::size_t size)>;

// One piece of the copy: bytes [offset, offset + size) of the image, part of
// range `range` of the ranges copied.
struct CopyPiece {
    std::int64_t offset;
    std::size_t size;
    std::size_t range;
};

// The pieces that carry `ranges` (in order, not overlapping), at most
// kPieceSize each, cut at every multiple of kPieceSize and at kHeadSize, so
// that whole chunks end on a piece's end and the head is pieces of its own.
std::vector<CopyPiece> PlanPieces(const std::vector<MappedRange>& ranges);

class ImageCopy {
  public:
    enum class Result {
        Done,
        Cancelled,
        WriteFailed,
        ReadFailed,
        EndedEarly,
        Longer,
        RangeDiffers
    };

    // `size`: the bytes the source must give, no fewer and no more. `map`:
    // the ranges to copy, or null for the whole image.
    ImageCopy(const platform::OpenedDevice& device, std::int64_t size,
              const BlockMap* map = nullptr);
    bool Allocated() const { return m_queue.Allocated() && m_head; }
    // A job given up for good (its stick stopped answering) stops at its
    // next chance like a cancelled one, and reports no more progress: a new
    // job may have cleared the cancel flag meanwhile.
    void StopWhen(const std::atomic<bool>* givenUp) { m_givenUp = givenUp; }
    // The bytes the copy writes: the image's size, or the mapped bytes.
    std::int64_t Bytes() const { return m_bytes; }

    // Copies all but the head onto the device, reporting progress per chunk
    // of Bytes() (see ProgressCallback) and the image's bytes the device has
    // taken. Cancellation is looked at before every piece. When the copy
    // stops before the source's end, `interrupt` unblocks a reader that waits
    // on the source (it ends a decompressor).
    Result Copy(int source, ProgressCallback progress, std::atomic<std::int64_t>* written,
                const std::function<void()>& interrupt);
    // After a Copy that is Done and flushed: zeroes the device's first MiB
    // if no piece did so yet, writes the held head and flushes it. false when
    // the device refused a write (FailedAt, Error) or the flush (*flushFailed).
    bool WriteHead(std::atomic<std::int64_t>* written, bool* flushFailed);
    // Bytes the source gave during Copy, up to the size and one more.
    std::int64_t SourceBytes() const { return m_sourceBytes; }
    // Where a write the device did not take in full stopped (the first byte
    // it did not take), or where the read-back could not read; and the
    // write's errno.
    std::int64_t FailedAt() const { return m_failedAt; }
    int Error() const { return m_error; }
    // RangeDiffers: the map's range whose bytes do not match its checksum.
    const MappedRange& BadRange() const { return m_ranges.at(m_badRange); }

    // Reads the copied pieces back past the page cache and compares each
    // with what was written. true when all are equal. A difference is traced
    // with its first differing byte, which goes to *mismatch; a read error and
    // cancellation fail too. *verified counts the bytes of Bytes() found equal.
    bool Verify(const ImageReader& image, std::atomic<std::int64_t>* verified,
                std::atomic<std::int64_t>* mismatch);

  private:
    Result ReadSource(int source);
    // Moves the source from *position to `to`: seeks, or reads and drops.
    Result SkipTo(int source, std::int64_t* position, std::int64_t to, char* scratch);
    // The bytes of the piece the device took.
    std::size_t WritePiece(const char* data, std::size_t size, std::int64_t offset);
    bool ZeroHead();
    bool ReadDevice(bool direct, std::int64_t offset, char* into, std::size_t size);
    void Report(std::int64_t done, bool roundUp, ProgressCallback progress);

    const platform::OpenedDevice& m_device;
    const std::int64_t m_size;
    const ChecksumKind m_kind;
    const std::vector<MappedRange> m_whole;  // the image as one range, when there is no map
    const std::vector<MappedRange>& m_ranges;
    const std::vector<CopyPiece> m_pieces;
    std::int64_t m_bytes = 0;
    const std::size_t m_alignment;
    BufferQueue m_queue;
    AlignedBuffer m_head;  // the image's first MiB, held back
    bool m_zeroed = false;
    std::int64_t m_written = 0;
    std::int64_t m_sourceBytes = 0;
    std::int64_t m_lastStep = -1;
    std::int64_t m_failedAt = -1;
    int m_error = 0;
    std::size_t m_badRange = 0;
    std::vector<XXH128_hash_t> m_hashes;
    const std::atomic<bool>* m_givenUp = nullptr;
    bool Stopped() const { return g_cancelThread.load() || (m_givenUp && m_givenUp->load()); }
};
