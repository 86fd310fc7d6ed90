#include "transport/ByteQueue.h"

#include <algorithm>
#include <cstring>

namespace pppp {

void CByteQueue::Grow(size_t needed) {
    size_t capacity = m_nCapacity ? m_nCapacity : 4096;
    while (capacity < needed) capacity *= 2;
    std::unique_ptr<uint8_t[]> data(new uint8_t[capacity]);
    const size_t first = std::min(m_nSize, m_nCapacity - m_nHead);
    if (m_nSize) {
        std::memcpy(data.get(), m_pData.get() + m_nHead, first);
        std::memcpy(data.get() + first, m_pData.get(), m_nSize - first);
    }
    m_pData = std::move(data);
    m_nCapacity = capacity;
    m_nHead = 0;
}

void CByteQueue::Append(const uint8_t* data, size_t size) {
    if (size == 0) return;
    if (m_nSize + size > m_nCapacity) Grow(m_nSize + size);
    const size_t tail = (m_nHead + m_nSize) % m_nCapacity;
    const size_t first = std::min(size, m_nCapacity - tail);
    std::memcpy(m_pData.get() + tail, data, first);
    std::memcpy(m_pData.get(), data + first, size - first);
    m_nSize += size;
}

size_t CByteQueue::Take(uint8_t* out, size_t size) {
    const size_t n = std::min(size, m_nSize);
    if (n == 0) return 0;
    const size_t first = std::min(n, m_nCapacity - m_nHead);
    std::memcpy(out, m_pData.get() + m_nHead, first);
    std::memcpy(out + first, m_pData.get(), n - first);
    m_nHead = (m_nHead + n) % m_nCapacity;
    m_nSize -= n;
    if (m_nSize == 0) m_nHead = 0;
    return n;
}

void CByteQueue::Peek(const uint8_t** first, size_t* firstSize, const uint8_t** second, size_t* secondSize) const {
    const size_t a = m_nSize ? std::min(m_nSize, m_nCapacity - m_nHead) : 0;
    *first = m_nSize ? m_pData.get() + m_nHead : nullptr;
    *firstSize = a;
    *second = m_nSize > a ? m_pData.get() : nullptr;
    *secondSize = m_nSize - a;
}

void CByteQueue::Drop(size_t size) {
    const size_t n = std::min(size, m_nSize);
    if (n == 0) return;
    m_nHead = (m_nHead + n) % m_nCapacity;
    m_nSize -= n;
    if (m_nSize == 0) m_nHead = 0;
}

void CByteQueue::Clear() {
    m_pData.reset();
    m_nCapacity = m_nHead = m_nSize = 0;
}

}  // namespace pppp
