#include "writer/BufferQueue.h"

#include <cstdlib>

void FreeDeleter::operator()(char* p) const {
    std::free(p);
}

AlignedBuffer AllocateAligned(std::size_t bytes, std::size_t alignment) {
    void* memory = nullptr;
    return AlignedBuffer(posix_memalign(&memory, alignment, bytes) == 0 ? static_cast<char*>(memory)
                                                                        : nullptr);
}

BufferQueue::BufferQueue(std::size_t count, std::size_t bytes, std::size_t alignment)
    : m_bytes(bytes) {
    for (std::size_t i = 0; i < count; ++i) {
        AlignedBuffer buffer = AllocateAligned(bytes, alignment);
        if (!buffer) {
            m_buffers.clear();
            m_empty.clear();
            return;
        }
        m_empty.push_back(buffer.get());
        m_buffers.push_back(std::move(buffer));
    }
}

char* BufferQueue::Empty() {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [&] { return m_stopped || !m_empty.empty(); });
    if (m_stopped) return nullptr;
    char* buffer = m_empty.back();
    m_empty.pop_back();
    return buffer;
}

void BufferQueue::Filled(char* buffer, std::size_t size) {
    {
        std::lock_guard lock(m_mutex);
        m_filled.push_back({buffer, size});
    }
    m_changed.notify_all();
}

bool BufferQueue::Next(char** buffer, std::size_t* size, std::chrono::milliseconds wait) {
    std::unique_lock lock(m_mutex);
    if (!m_changed.wait_for(lock, wait, [&] { return !m_filled.empty(); })) return false;
    *buffer = m_filled.front().data;
    *size = m_filled.front().size;
    m_filled.pop_front();
    return true;
}

void BufferQueue::Release(char* buffer) {
    {
        std::lock_guard lock(m_mutex);
        m_empty.push_back(buffer);
    }
    m_changed.notify_all();
}

void BufferQueue::Stop() {
    {
        std::lock_guard lock(m_mutex);
        m_stopped = true;
    }
    m_changed.notify_all();
}
