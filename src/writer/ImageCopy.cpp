#include "writer/ImageCopy.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

constexpr std::size_t kBufferAlignment = 4096;
// How long the writer waits for a piece before it looks at cancellation.
constexpr std::chrono::milliseconds kCancelPoll{50};
constexpr auto kChunk = static_cast<std::int64_t>(kChunkSize);

std::int32_t ClampToInt32(std::int64_t value) {
    return static_cast<std::int32_t>(std::min<std::int64_t>(value, INT32_MAX));
}

void TraceOffset(const char* format, std::int64_t offset) {
    char line[128];
    std::snprintf(line, sizeof line, format, static_cast<long long>(offset));
    Trace(line);
}

}  // namespace

std::vector<CopyPiece> PlanPieces(const std::vector<MappedRange>& ranges) {
    const auto piece = static_cast<std::int64_t>(kPieceSize);
    const auto head = static_cast<std::int64_t>(kHeadSize);
    std::vector<CopyPiece> pieces;
    for (std::size_t r = 0; r < ranges.size(); ++r) {
        const std::int64_t end = ranges[r].offset + ranges[r].bytes;
        for (std::int64_t at = ranges[r].offset; at < end;) {
            std::int64_t cut = (at / piece + 1) * piece;
            if (at < head) cut = std::min(cut, head);
            const std::int64_t next = std::min(cut, end);
            pieces.push_back({at, static_cast<std::size_t>(next - at), r});
            at = next;
        }
    }
    return pieces;
}

ImageCopy::ImageCopy(const platform::OpenedDevice& device, std::int64_t size, const BlockMap* map)
    : m_device(device),
      m_size(size),
      m_kind(map ? map->kind : ChecksumKind::None),
      m_whole{MappedRange{0, size, false, {}}},
      m_ranges(map ? map->ranges : m_whole),
      m_pieces(PlanPieces(m_ranges)),
      // O_DIRECT needs buffers aligned to the sector size.
      m_alignment(std::max<std::size_t>(kBufferAlignment,
                                        static_cast<std::size_t>(device.logicalBlockSize))),
      m_queue(kQueueBuffers, kPieceSize, m_alignment),
      m_head(AllocateAligned(kHeadSize, m_alignment)) {
    for (const CopyPiece& piece : m_pieces) m_bytes += static_cast<std::int64_t>(piece.size);
}

ImageCopy::Result ImageCopy::SkipTo(int source, std::int64_t* position, std::int64_t to,
                                    char* scratch) {
    if (*position == to) return Result::Done;
    if (lseek(source, to, SEEK_SET) == to) {  // a file
        *position = to;
        return Result::Done;
    }
    while (*position < to) {  // a pipe: what is not copied is still read through
        const long long got = platform::ReadFull(
            source, scratch,
            static_cast<std::size_t>(std::min<std::int64_t>(to - *position, kPieceSize)));
        if (got <= 0) return got < 0 ? Result::ReadFailed : Result::EndedEarly;
        *position += got;
    }
    return Result::Done;
}

ImageCopy::Result ImageCopy::ReadSource(int source) {
    Digest digest(m_kind);
    std::int64_t position = 0;
    for (const CopyPiece& piece : m_pieces) {
        char* buffer = m_queue.Empty();
        if (!buffer) return Result::Cancelled;  // the writer stopped; its result counts
        Result result = SkipTo(source, &position, piece.offset, buffer);
        if (result == Result::Done) {
            const long long got = platform::ReadFull(source, buffer, piece.size);
            position += std::max(got, 0LL);
            if (got != static_cast<long long>(piece.size))
                result = got < 0 ? Result::ReadFailed : Result::EndedEarly;
        }
        m_sourceBytes = position;
        const MappedRange& range = m_ranges[piece.range];
        if (result == Result::Done && range.checked) {
            digest.Add(buffer, piece.size);
            // Checked before the range's last piece goes to the writer.
            if (piece.offset + static_cast<std::int64_t>(piece.size) ==
                    range.offset + range.bytes &&
                digest.Finish() != range.checksum) {
                m_badRange = piece.range;
                result = Result::RangeDiffers;
            }
        }
        if (result != Result::Done) {
            m_queue.Filled(buffer, 0);
            return result;
        }
        m_queue.Filled(buffer, piece.size);
    }
    // Read through to the image's end; one byte past it tells a longer source
    // from one that ends.
    char* buffer = m_queue.Empty();
    if (!buffer) return Result::Cancelled;
    Result result = SkipTo(source, &position, m_size, buffer);
    if (result == Result::Done) {
        const long long extra = platform::ReadFull(source, buffer, 1);
        position += std::max(extra, 0LL);
        result = extra < 0 ? Result::ReadFailed : extra > 0 ? Result::Longer : Result::Done;
    }
    m_sourceBytes = position;
    m_queue.Filled(buffer, 0);
    return result;
}

std::size_t ImageCopy::WritePiece(const char* data, std::size_t size, std::int64_t offset) {
    if (lseek(m_device.fd, offset, SEEK_SET) != offset) {
        m_error = errno;
        return 0;
    }
    const std::size_t sector = static_cast<std::size_t>(std::max(m_device.logicalBlockSize, 1));
    const std::size_t whole =
        offset % static_cast<std::int64_t>(sector) == 0 ? size / sector * sector : 0;
    std::size_t written = whole > 0 ? platform::WriteAll(m_device.fd, data, whole) : 0;
    if (written == whole && size > whole) {
        // O_DIRECT takes whole sectors from a sector's start: the image's last
        // piece, or a range of a map whose blocks are smaller than the
        // device's sectors, goes through the page cache, so the device gets
        // exactly the image's bytes; the flush after puts them there.
        if (m_device.direct && !platform::SetDirect(m_device.fd, false)) {
            m_error = errno;
            return written;
        }
        written += platform::WriteAll(m_device.fd, data + whole, size - whole);
        const int error = errno;
        if (m_device.direct) platform::SetDirect(m_device.fd, true);
        errno = error;
    }
    if (written != size) m_error = errno;
    return written;
}

bool ImageCopy::ZeroHead() {
    const std::size_t bytes = static_cast<std::size_t>(
        std::min<std::int64_t>(kHeadSize, m_device.size >= 0 ? m_device.size : kHeadSize));
    AlignedBuffer zeros = AllocateAligned(kHeadSize, m_alignment);
    if (!zeros) {
        m_error = ENOMEM;
        m_failedAt = 0;
        return false;
    }
    std::memset(zeros.get(), 0, kHeadSize);
    const std::size_t taken = WritePiece(zeros.get(), bytes, 0);
    // Flushed, so that no image byte can reach the stick before the zeros.
    if (taken != bytes || !platform::FlushDevice(m_device.fd)) {
        if (taken == bytes) m_error = errno;
        m_failedAt = taken == bytes ? 0 : static_cast<std::int64_t>(taken);
        return false;
    }
    m_zeroed = true;
    return true;
}

// `done`: the bytes of Bytes() handled so far. A chunk is reported once all
// its bytes are; the end and a failed write report the chunk they are in.
void ImageCopy::Report(std::int64_t done, bool roundUp, ProgressCallback progress) {
    if (!progress || (m_givenUp && m_givenUp->load())) return;
    const std::int64_t total = m_bytes / kChunk;
    const std::int64_t current = roundUp ? (done + kChunk - 1) / kChunk : done / kChunk;
    const std::int64_t step = 100 * current / std::max<std::int64_t>(total, 1);
    if (step == m_lastStep) return;
    m_lastStep = step;
    progress(ClampToInt32(total), ClampToInt32(current));
}

ImageCopy::Result ImageCopy::Copy(int source, ProgressCallback progress,
                                  std::atomic<std::int64_t>* written,
                                  const std::function<void()>& interrupt) {
    Result readResult = Result::Done;
    std::thread reader([&] { readResult = ReadSource(source); });
    Result result = Result::Done;
    std::int64_t done = 0;
    for (std::size_t i = 0;;) {
        char* data = nullptr;
        std::size_t size = 0;
        const bool next = m_queue.Next(&data, &size, kCancelPoll);
        if (next && size == 0) break;  // the reader's end: its result tells why
        // Looked at before each piece is written; the end needs no write.
        if (Stopped()) {
            result = Result::Cancelled;
            break;
        }
        if (!next) continue;
        const CopyPiece& piece = m_pieces[i++];
        m_hashes.push_back(XXH3_128bits(data, size));
        bool ok = true;
        if (piece.offset < static_cast<std::int64_t>(kHeadSize)) {
            std::memcpy(m_head.get() + piece.offset, data, size);  // held back
        } else {
            ok = m_zeroed || ZeroHead();
            const std::size_t taken = ok ? WritePiece(data, size, piece.offset) : 0;
            if (ok && taken != size) m_failedAt = piece.offset + static_cast<std::int64_t>(taken);
            ok = ok && taken == size;
            if (ok) written->store(m_written += static_cast<std::int64_t>(size));
        }
        m_queue.Release(data);
        const std::int64_t before = done;
        done += static_cast<std::int64_t>(size);
        if (!ok || done == m_bytes || done / kChunk != before / kChunk)
            Report(done, !ok || done == m_bytes, progress);
        if (!ok) {
            result = Result::WriteFailed;
            break;
        }
    }
    if (result != Result::Done) {
        m_queue.Stop();
        interrupt();
    }
    reader.join();
    return result != Result::Done ? result : readResult;
}

bool ImageCopy::WriteHead(std::atomic<std::int64_t>* written, bool* flushFailed) {
    *flushFailed = false;
    if (!m_zeroed && !ZeroHead()) return false;
    for (const CopyPiece& piece : m_pieces) {
        if (piece.offset >= static_cast<std::int64_t>(kHeadSize)) break;
        const std::size_t taken = WritePiece(m_head.get() + piece.offset, piece.size, piece.offset);
        if (taken != piece.size) {
            m_failedAt = piece.offset + static_cast<std::int64_t>(taken);
            return false;
        }
        written->store(m_written += static_cast<std::int64_t>(piece.size));
    }
    if (!platform::FlushDevice(m_device.fd)) {
        m_error = errno;
        *flushFailed = true;
        return false;
    }
    return true;
}

bool ImageCopy::ReadDevice(bool direct, std::int64_t offset, char* into, std::size_t size) {
    const std::size_t sector = direct ? static_cast<std::size_t>(m_device.logicalBlockSize) : 1;
    if (offset % static_cast<std::int64_t>(sector) == 0) {
        // Direct reads are whole sectors; the piece's last sector is read
        // whole and compared as far as the piece goes.
        const std::size_t whole = (size + sector - 1) / sector * sector;
        return platform::ReadFullAt(m_device.fd, into, whole, offset) >=
               static_cast<long long>(size);
    }
    // A piece that starts inside a sector is read through the cache, once its
    // flushed (so clean) pages are dropped.
    const std::int64_t page = sysconf(_SC_PAGESIZE);
    const std::int64_t from = offset / page * page;
    posix_fadvise(m_device.fd, from, offset + static_cast<std::int64_t>(size) - from + page,
                  POSIX_FADV_DONTNEED);
    const bool read =
        platform::SetDirect(m_device.fd, false) &&
        platform::ReadFullAt(m_device.fd, into, size, offset) == static_cast<long long>(size);
    platform::SetDirect(m_device.fd, true);
    return read;
}

bool ImageCopy::Verify(const ImageReader& image, std::atomic<std::int64_t>* verified,
                       std::atomic<std::int64_t>* mismatch) {
    Trace("Verification started!");
    verified->store(0);
    // Read through the cache, the bytes could be the ones just written and
    // not the device's. Direct reads bypass it; where the driver takes no
    // direct I/O, the flushed (so clean) cached pages are dropped instead.
    const bool direct = m_device.direct && platform::SetDirect(m_device.fd, true);
    if (!direct) posix_fadvise(m_device.fd, 0, 0, POSIX_FADV_DONTNEED);
    char* device = m_queue.Buffer(0);
    std::int64_t done = 0;
    for (std::size_t i = 0; i < m_hashes.size(); ++i) {
        if (Stopped()) return false;
        const std::int64_t offset = m_pieces[i].offset;
        const std::size_t n = m_pieces[i].size;
        if (!ReadDevice(direct, offset, device, n)) {
            m_failedAt = offset;
            TraceOffset("Verification failed: the device could not be read at byte %lld", offset);
            return false;
        }
        if (!XXH128_isEqual(XXH3_128bits(device, n), m_hashes[i])) {
            // Only now is the image read again, for this piece alone. Should
            // it not differ there after all, the piece's first byte is named.
            char* original = m_queue.Buffer(1);
            std::size_t at = 0;
            if (image(offset, original, n))
                at = static_cast<std::size_t>(std::mismatch(device, device + n, original).first -
                                              device) %
                     n;
            mismatch->store(offset + static_cast<std::int64_t>(at));
            TraceOffset("Verification failed at byte %lld", offset + static_cast<std::int64_t>(at));
            return false;
        }
        verified->store(done += static_cast<std::int64_t>(n));
    }
    Trace("Verification succeeded!");
    return true;
}
