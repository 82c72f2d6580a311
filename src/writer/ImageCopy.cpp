#include "writer/ImageCopy.h"

#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

constexpr std::size_t kBufferAlignment = 4096;
// How long the writer waits for a piece before it looks at cancellation.
constexpr std::chrono::milliseconds kCancelPoll{50};

std::int32_t ClampToInt32(std::int64_t value) {
    return static_cast<std::int32_t>(std::min<std::int64_t>(value, INT32_MAX));
}

void TraceOffset(const char* format, std::int64_t offset) {
    char line[128];
    std::snprintf(line, sizeof line, format, static_cast<long long>(offset));
    Trace(line);
}

}  // namespace

ImageCopy::ImageCopy(const platform::OpenedDevice& device, std::int64_t size)
    : m_device(device),
      m_size(size),
      // O_DIRECT needs buffers aligned to the sector size.
      m_queue(kQueueBuffers, kPieceSize,
              std::max<std::size_t>(kBufferAlignment,
                                    static_cast<std::size_t>(device.logicalBlockSize))),
      m_direct(device.direct) {}

ImageCopy::Result ImageCopy::ReadSource(int source) {
    std::int64_t remaining = m_size;
    for (;;) {
        char* buffer = m_queue.Empty();
        if (!buffer) return Result::Cancelled;  // the writer stopped; its result counts
        if (remaining == 0) {
            // One byte past the size tells a longer source from one that ends.
            const long long extra = platform::ReadFull(source, buffer, 1);
            m_sourceBytes += std::max(extra, 0LL);
            m_queue.Filled(buffer, 0);
            return extra < 0 ? Result::ReadFailed : extra > 0 ? Result::Longer : Result::Done;
        }
        const long long got = platform::ReadFull(
            source, buffer,
            static_cast<std::size_t>(std::min<std::int64_t>(remaining, kPieceSize)));
        if (got <= 0) {
            m_queue.Filled(buffer, 0);
            return got < 0 ? Result::ReadFailed : Result::EndedEarly;
        }
        m_sourceBytes += got;
        remaining -= got;
        m_queue.Filled(buffer, static_cast<std::size_t>(got));
    }
}

std::size_t ImageCopy::WritePiece(const char* data, std::size_t size) {
    const std::size_t sector = static_cast<std::size_t>(std::max(m_device.logicalBlockSize, 1));
    const std::size_t whole = size / sector * sector;
    std::size_t written = whole > 0 ? platform::WriteAll(m_device.fd, data, whole) : 0;
    if (written == whole && size > whole) {
        // Only the image's last piece can end inside a sector, and O_DIRECT
        // would refuse that tail: it goes through the page cache, so the
        // device gets exactly the image's bytes; the final fsync puts it there.
        if (m_direct && !platform::SetDirect(m_device.fd, false)) return written;
        m_direct = false;
        written += platform::WriteAll(m_device.fd, data + whole, size - whole);
    }
    if (written != size) m_error = errno;
    return written;
}

// `end`: the image's bytes that the writes so far cover. The chunk that holds
// the last of them is reported when 100 * chunk / total changes.
void ImageCopy::Report(std::int64_t end, ProgressCallback progress) {
    if (!progress) return;
    const std::int64_t chunk = static_cast<std::int64_t>(kChunkSize);
    const std::int64_t total = m_size / chunk;
    const std::int64_t current = (end + chunk - 1) / chunk;
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
    for (std::int64_t offset = 0;;) {
        char* data = nullptr;
        std::size_t size = 0;
        const bool next = m_queue.Next(&data, &size, kCancelPoll);
        if (next && size == 0) break;  // the reader's end: its result tells why
        // Looked at before each piece is written; the end needs no write.
        if (g_cancelThread.load()) {
            result = Result::Cancelled;
            break;
        }
        if (!next) continue;
        const std::size_t taken = WritePiece(data, size);
        const bool ok = taken == size;
        if (!ok) m_failedAt = offset + static_cast<std::int64_t>(taken);
        m_hashes.push_back(XXH3_128bits(data, size));
        m_queue.Release(data);
        if (ok) written->store(offset + static_cast<std::int64_t>(size));
        offset += static_cast<std::int64_t>(size);
        // Each whole chunk, the image's end, and a chunk whose write failed.
        if (!ok || offset % static_cast<std::int64_t>(kChunkSize) == 0 || offset == m_size)
            Report(offset, progress);
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

bool ImageCopy::Verify(const ImageReader& image, std::atomic<std::int64_t>* verified,
                       std::atomic<std::int64_t>* mismatch) {
    Trace("Verification started!");
    verified->store(0);
    // Read through the cache, the bytes could be the ones just written and
    // not the device's. Direct reads bypass it; where the driver takes no
    // direct I/O, the flushed (so clean) cached pages are dropped instead.
    const bool direct = m_device.direct && platform::SetDirect(m_device.fd, true);
    if (!direct) posix_fadvise(m_device.fd, 0, 0, POSIX_FADV_DONTNEED);
    // Direct reads are whole sectors; the image's last sector on the device
    // is read whole and compared as far as the image goes.
    const std::size_t sector = direct ? static_cast<std::size_t>(m_device.logicalBlockSize) : 1;
    char* device = m_queue.Buffer(0);
    for (std::size_t piece = 0; piece < m_hashes.size(); ++piece) {
        if (g_cancelThread.load()) return false;
        const std::int64_t offset = static_cast<std::int64_t>(piece * kPieceSize);
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::int64_t>(m_size - offset, kPieceSize));
        const std::size_t whole = (n + sector - 1) / sector * sector;
        if (platform::ReadFullAt(m_device.fd, device, whole, offset) < static_cast<long long>(n)) {
            m_failedAt = offset;
            TraceOffset("Verification failed: the device could not be read at byte %lld", offset);
            return false;
        }
        if (!XXH128_isEqual(XXH3_128bits(device, n), m_hashes[piece])) {
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
        verified->store(offset + static_cast<std::int64_t>(n));
    }
    Trace("Verification succeeded!");
    return true;
}
