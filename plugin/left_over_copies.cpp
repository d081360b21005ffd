#include "left_over_copies.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <utility>

namespace {

// One pool's ranges, by ascending address. Never destroyed: a library's
// destructor may ask after the core's static objects are gone.
struct Kept {
    std::vector<LeftOverCopies::Range> ranges;
    const Kept *older;
};

std::atomic<const Kept *> newest{nullptr};
std::atomic<bool> unrecorded{false};

bool InRanges(const std::vector<LeftOverCopies::Range> &ranges, uintptr_t address) {
    const auto after =
        std::upper_bound(ranges.begin(), ranges.end(), address,
                         [](uintptr_t at, const LeftOverCopies::Range &range) { return at < range.begin; });
    return after != ranges.begin() && address - std::prev(after)->begin < std::prev(after)->bytes;
}

} // namespace

void LeftOverCopies::Keep(std::vector<Range> ranges) noexcept {
    if (ranges.empty()) {
        return;
    }
    std::sort(ranges.begin(), ranges.end(), [](const Range &a, const Range &b) { return a.begin < b.begin; });
    Kept *kept = new (std::nothrow) Kept{std::move(ranges), nullptr};
    if (kept == nullptr) {
        unrecorded = true;
        return;
    }
    kept->older = newest.load(std::memory_order_relaxed);
    while (!newest.compare_exchange_weak(kept->older, kept, std::memory_order_release, std::memory_order_relaxed)) {
    }
}

bool LeftOverCopies::Contain(const void *address) {
    if (unrecorded) {
        return true;
    }
    const auto at = reinterpret_cast<uintptr_t>(address);
    for (const Kept *kept = newest.load(std::memory_order_acquire); kept != nullptr; kept = kept->older) {
        if (InRanges(kept->ranges, at)) {
            return true;
        }
    }
    return false;
}
