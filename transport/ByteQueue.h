#pragma once
// A FIFO of bytes in one ring buffer that grows as needed: a channel's bytes
// received and not yet read, a session's bytes waiting to be sent. Not
// thread-safe; the session guards it.

#include <cstddef>
#include <cstdint>
#include <memory>

namespace pppp {

class CByteQueue {
public:
    size_t Size() const { return m_nSize; }
    bool Empty() const { return m_nSize == 0; }

    void Append(const uint8_t* data, size_t size);
    // Moves up to `size` bytes to `out`; returns how many.
    size_t Take(uint8_t* out, size_t size);
    // The bytes at the front, in place: one or two pieces (the second may be empty).
    void Peek(const uint8_t** first, size_t* firstSize, const uint8_t** second, size_t* secondSize) const;
    // Removes `size` bytes (at most Size()) from the front.
    void Drop(size_t size);
    size_t Capacity() const { return m_nCapacity; }
    // Drops everything and gives the memory back.
    void Clear();

private:
    void Grow(size_t needed);

    std::unique_ptr<uint8_t[]> m_pData;
    size_t m_nCapacity = 0;
    size_t m_nHead = 0;
    size_t m_nSize = 0;
};

}  // namespace pppp
