#pragma once
// BufferQueue: the few aligned buffers that carry an image from the thread
// that reads it (a file, or a decompressor's pipe) to the thread that writes
// it onto the device, so that reading and writing overlap. It is small on
// purpose (ImageCopy uses four): the reader runs at most that many buffers
// ahead, so the memory stays bounded and a cancelled write has little in
// flight.
//
// Threads: one reader thread calls Empty and Filled; one writer thread calls
// Next, Release and Stop. Buffer(i) is for the writer's thread alone, when no
// reader runs (the read-back after the copy).
// Ownership: the queue owns its buffers; a buffer handed out is lent until it
// is handed back (Filled, Release).

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

struct FreeDeleter {
    void operator()(char* p) const;
};
using AlignedBuffer = std::unique_ptr<char, FreeDeleter>;

// `bytes` bytes aligned to `alignment` (a power of two), or null.
AlignedBuffer AllocateAligned(std::size_t bytes, std::size_t alignment);

class BufferQueue {
  public:
    BufferQueue(std::size_t count, std::size_t bytes, std::size_t alignment);
    BufferQueue(const BufferQueue&) = delete;
    BufferQueue& operator=(const BufferQueue&) = delete;

    bool Allocated() const { return !m_buffers.empty(); }
    std::size_t BufferBytes() const { return m_bytes; }
    char* Buffer(std::size_t i) const { return m_buffers[i].get(); }

    // Reader: an empty buffer to fill, waiting while all are in use; null
    // once the writer has stopped.
    char* Empty();
    // Reader: the buffer holds `size` bytes, the next ones in order; a size of
    // 0 marks the end (the reader will fill no more).
    void Filled(char* buffer, std::size_t size);
    // Writer: the next filled buffer and its size; false when none arrived
    // within `wait`, so that the writer can look at cancellation.
    bool Next(char** buffer, std::size_t* size, std::chrono::milliseconds wait);
    void Release(char* buffer);
    // Writer: gives up; Empty() returns null from now on.
    void Stop();

  private:
    struct Piece {
        char* data;
        std::size_t size;
    };
    std::size_t m_bytes;
    std::vector<AlignedBuffer> m_buffers;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<char*> m_empty;
    std::deque<Piece> m_filled;
    bool m_stopped = false;
};
