#include "exact_copy_pool.h"

#include <cstdlib>
#include <new>
#include <utility>
#include <vector>

#include "left_over_copies.h"

ExactCopyPool::~ExactCopyPool() {
    std::vector<LeftOverCopies::Range> held;
    SpinLockGuard guard(lock);
    try {
        for (auto &entry : copies) {
            SpinLockGuard copyGuard(entry.second->lock);
            if (!entry.second->Unheld()) {
                held.push_back({entry.first, entry.second->length});
                // The head too, so that it is still reachable for the
                // leak checker at the exit.
                held.push_back({reinterpret_cast<uintptr_t>(entry.second.get()), sizeof(HeldCopy)});
            }
        }
    } catch (const std::bad_alloc &) {
        LeftOverCopies::Keep({});
        for (auto &entry : copies) {
            entry.second.release();
        }
        return;
    }
    for (auto &entry : copies) {
        SpinLockGuard copyGuard(entry.second->lock);
        if (entry.second->Unheld()) {
            std::free(reinterpret_cast<void *>(entry.first));
        } else {
            entry.second.release();
        }
    }
    LeftOverCopies::Keep(std::move(held));
}

void *ExactCopyPool::Allocate(std::size_t length) {
    if (length > UINT32_MAX) {
        return nullptr;
    }
    std::unique_ptr<HeldCopy> head(new (std::nothrow) HeldCopy(HeldCopy::LARGE, static_cast<uint32_t>(length)));
    void *data = std::malloc(length);
    if (head == nullptr || data == nullptr) {
        std::free(data);
        return nullptr;
    }
    try {
        SpinLockGuard guard(lock);
        copies.emplace(reinterpret_cast<uintptr_t>(data), std::move(head));
    } catch (const std::bad_alloc &) {
        std::free(data);
        return nullptr;
    }
    return data;
}

void ExactCopyPool::Free(void *data) {
    ReleaseCopy(data, [](HeldCopy &) { return true; });
}

HeldCopy &ExactCopyPool::Head(const void *data) {
    SpinLockGuard guard(lock);
    return *copies.find(reinterpret_cast<uintptr_t>(data))->second;
}

HeldCopy *ExactCopyPool::FindLocked(const void *data) {
    const auto found = copies.find(reinterpret_cast<uintptr_t>(data));
    return found != copies.end() ? found->second.get() : nullptr;
}

CopyAddress ExactCopyPool::Classify(const void *address) {
    const auto at = reinterpret_cast<uintptr_t>(address);
    SpinLockGuard guard(lock);
    auto after = copies.upper_bound(at);
    if (after == copies.begin()) {
        return CopyAddress::FOREIGN;
    }
    --after;
    if (after->first == at) {
        return CopyAddress::DATA;
    }
    return at - after->first < after->second->length ? CopyAddress::INSIDE : CopyAddress::FOREIGN;
}

void ExactCopyPool::ForEachCopy(const std::function<void(const void *, HeldCopy &)> &visit) {
    SpinLockGuard guard(lock);
    for (auto &entry : copies) {
        visit(reinterpret_cast<const void *>(entry.first), *entry.second);
    }
}
