#include "buffer_holder_table.h"

#include <algorithm>
#include <map>
#include <new>
#include <utility>

#include "log_message.h"

BufferHolderTable::BufferHolderTable(EventEntryPoint leakReport, LeakSummary summary)
    : leakReport(leakReport), summary(std::move(summary)) {
    spares.reserve(SPARE_ENTRIES);
}

// The report lists the pairs by ascending address, each address's holders in
// the order their holds were added. Should there be no memory to sort by, the
// lines still come, in the table's own order.
BufferHolderTable::~BufferHolderTable() {
    std::vector<const Table::value_type *> sorted;
    try {
        sorted.reserve(entries.size());
    } catch (const std::bad_alloc &) {
        for (const auto &entry : entries) {
            Report(entry.first, entry.second.holders);
        }
        return;
    }
    for (const auto &entry : entries) {
        sorted.push_back(&entry);
    }
    std::sort(sorted.begin(), sorted.end(), [](const auto *a, const auto *b) { return a->first < b->first; });
    for (const auto *entry : sorted) {
        Report(entry->first, entry->second.holders);
    }
    Summarize();
}

// A buffer held twice by one holder counts once for it.
void BufferHolderTable::Summarize() const {
    if (!summary || entries.empty()) {
        return;
    }
    std::map<uint32_t, std::pair<std::size_t, uint64_t>> totals;
    try {
        for (const auto &entry : entries) {
            const Holders &holders = entry.second.holders;
            for (auto holder = holders.begin(); holder != holders.end(); ++holder) {
                if (std::find(holders.begin(), holder, *holder) == holder) {
                    auto &total = totals[*holder];
                    ++total.first;
                    total.second += entry.second.length;
                }
            }
        }
    } catch (const std::bad_alloc &) {
        return; // the leak lines have been told; only their sums are missing
    }
    for (const auto &total : totals) {
        summary(total.first, total.second.first, total.second.second);
    }
}

void BufferHolderTable::Report(uintptr_t key, const Holders &holders) const {
    for (const uint32_t holder : holders) {
        LogMessage(CORE_SOURCE, leakReport, LOG_LEVEL_DIAGNOSTIC, "address %p leaked by plugin %08lX",
                   reinterpret_cast<void *>(key), static_cast<unsigned long>(holder));
    }
}

void BufferHolderTable::Hold(const void *address, uint32_t holder) {
    if (address == nullptr) {
        return;
    }
    MutexLock lock(mutex);
    AddLocked(reinterpret_cast<uintptr_t>(address), holder);
}

bool BufferHolderTable::Release(const void *address, uint32_t holder) {
    if (address == nullptr) {
        return true;
    }
    MutexLock lock(mutex);
    return RemoveLocked(reinterpret_cast<uintptr_t>(address), holder).noHolderLeft;
}

BufferHolderTable::Outcome BufferHolderTable::ReleaseHold(const void *address, uint32_t holder) {
    if (address == nullptr) {
        return {false, true};
    }
    MutexLock lock(mutex);
    return RemoveLocked(reinterpret_cast<uintptr_t>(address), holder);
}

void BufferHolderTable::Pass(const void *address, uint32_t released, uint32_t held) {
    if (address == nullptr) {
        return;
    }
    MutexLock lock(mutex);
    const auto key = reinterpret_cast<uintptr_t>(address);
    RemoveLocked(key, released);
    AddLocked(key, held);
}

void BufferHolderTable::HoldBoth(const void *address, uint32_t first, uint32_t second, std::size_t length) {
    if (address == nullptr) {
        return;
    }
    MutexLock lock(mutex);
    const auto key = reinterpret_cast<uintptr_t>(address);
    AddLocked(key, first, length);
    AddLocked(key, second);
}

bool BufferHolderTable::ReleaseBoth(const void *address, uint32_t first, uint32_t second) {
    if (address == nullptr) {
        return true;
    }
    MutexLock lock(mutex);
    const auto key = reinterpret_cast<uintptr_t>(address);
    RemoveLocked(key, first);
    return RemoveLocked(key, second).noHolderLeft;
}

void BufferHolderTable::AddLocked(uintptr_t key, uint32_t holder, std::size_t length) {
    auto entry = entries.find(key);
    if (entry == entries.end()) {
        if (spares.empty()) {
            entry = entries.emplace(key, Held()).first;
        } else {
            Table::node_type spare = std::move(spares.back());
            spares.pop_back();
            spare.key() = key;
            entry = entries.insert(std::move(spare)).position;
        }
        entry->second.length = length;
    }
    entry->second.holders.push_back(holder);
}

BufferHolderTable::Outcome BufferHolderTable::RemoveLocked(uintptr_t key, uint32_t holder) {
    const auto entry = entries.find(key);
    if (entry == entries.end()) {
        return {false, true};
    }
    Holders &holders = entry->second.holders;
    const auto kept = std::remove(holders.begin(), holders.end(), holder);
    const bool removed = kept != holders.end();
    holders.erase(kept, holders.end());
    if (!holders.empty()) {
        return {removed, false};
    }
    // Never grows: the capacity was reserved at construction.
    if (spares.size() < SPARE_ENTRIES) {
        spares.push_back(entries.extract(entry));
    } else {
        entries.erase(entry);
    }
    return {removed, true};
}
