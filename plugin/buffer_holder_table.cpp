#include "plugin/buffer_holder_table.h"

#include "log/log_message.h"

BufferHolderTable::BufferHolderTable(EventEntryPoint leakReport) : leakReport(leakReport) {}

BufferHolderTable::~BufferHolderTable() {
    for (const auto &[address, holder] : pairs) {
        LogMessage(CORE_SOURCE, leakReport, LOG_LEVEL_DIAGNOSTIC, "address %p leaked by plugin %08lX",
                   reinterpret_cast<void *>(address), static_cast<unsigned long>(holder));
    }
}

void BufferHolderTable::Hold(const void *address, uint32_t holder) {
    if (address == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex);
    pairs.emplace(reinterpret_cast<uintptr_t>(address), holder);
}

bool BufferHolderTable::Release(const void *address, uint32_t holder) {
    if (address == nullptr) {
        return true;
    }
    std::lock_guard<std::mutex> lock(mutex);
    return RemoveLocked(reinterpret_cast<uintptr_t>(address), holder).noHolderLeft;
}

BufferHolderTable::Outcome BufferHolderTable::ReleaseHold(const void *address, uint32_t holder) {
    if (address == nullptr) {
        return {false, true};
    }
    std::lock_guard<std::mutex> lock(mutex);
    return RemoveLocked(reinterpret_cast<uintptr_t>(address), holder);
}

BufferHolderTable::Outcome BufferHolderTable::RemoveLocked(uintptr_t key, uint32_t holder) {
    bool removed = false;
    auto [it, end] = pairs.equal_range(key);
    while (it != end) {
        if (it->second == holder) {
            it = pairs.erase(it);
            removed = true;
        } else {
            ++it;
        }
    }
    return {removed, pairs.count(key) == 0};
}
