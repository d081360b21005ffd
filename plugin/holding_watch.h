#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "buffer_holder_table.h"

// A running leak, told before the stop: a plugin that has held many event
// copies, or many bytes of them, for long. Only copies older than AGE_SECONDS
// count; a plugin over either limit is told at most once per REPEAT_SECONDS.
// A recorder that keeps a few seconds of video ahead of an event stays far
// below the limits.
//
// Threads: one watching thread calls Check; the table guards itself.
class HoldingWatch {
public:
    static constexpr uint32_t AGE_SECONDS = 60;
    static constexpr std::size_t BUFFERS = 1000;
    static constexpr uint64_t BYTES = 64ull << 20;
    static constexpr uint32_t REPEAT_SECONDS = 60;

    // What one plugin holds beyond the age, and its oldest hold.
    struct Holdings {
        uint32_t holder = 0;
        std::size_t buffers = 0;
        uint64_t bytes = 0;
        uint32_t oldestMadeAt = UINT32_MAX;
        uint32_t oldestClass = 0;
        uint32_t oldestType = 0;
    };
    using Tell = std::function<void(const Holdings &)>;

    // Walks the table at nowSeconds (its clock) and tells each plugin over a
    // limit that was not told within REPEAT_SECONDS.
    void Check(BufferHolderTable &table, uint32_t nowSeconds, const Tell &tell);

private:
    std::map<uint32_t, uint32_t> toldAt; // holder -> seconds
};
