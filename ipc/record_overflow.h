#pragma once

#include <cstddef>
#include <cstdint>

// Room for the part of a received record that does not fit the receive
// buffer, so that a record is taken in one receive without learning its
// length first. Address space only: the pages hold memory only while a
// record larger than the buffer's room is moved out of them, and are given
// back after.
//
// Threads: its owner's (the asio thread in the core).
class RecordOverflow {
public:
    // Throws std::bad_alloc when the address space cannot be had.
    explicit RecordOverflow(std::size_t size);
    ~RecordOverflow();
    RecordOverflow(const RecordOverflow &) = delete;
    RecordOverflow &operator=(const RecordOverflow &) = delete;

    uint8_t *Data() const { return data; }
    std::size_t Size() const { return size; }
    // The first `used` bytes are no longer needed: their memory goes back.
    void Release(std::size_t used);

private:
    const std::size_t size;
    uint8_t *const data;
};
