#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// Keeps a flood of one console line down to one line per key and window:
// a line whose key was printed less than a window ago is held back and
// counted, and the count is told once the window has passed. It tracks at
// most KEYS keys at once; a line for a further key is printed untracked.
// Allocates nothing. Not thread-safe: one thread uses it.
class RepeatFilter {
public:
    static constexpr std::size_t KEYS = 64;

    explicit RepeatFilter(int64_t windowNs) : windowNs(windowNs) {}

    struct Verdict {
        bool print;        // print the line now
        uint64_t heldBack; // lines of this key held back in its last window, to tell first
    };
    Verdict Admit(uint64_t key, int64_t nowNs);

    // Forgets every key whose window has passed, first calling
    // tell(key, heldBack) for those that held lines back.
    template <typename Tell>
    void Expire(int64_t nowNs, Tell tell);

private:
    struct Entry {
        bool used = false;
        uint64_t key = 0;
        int64_t printedAt = 0;
        uint64_t heldBack = 0;
    };

    const int64_t windowNs;
    std::array<Entry, KEYS> entries{};
};

template <typename Tell>
void RepeatFilter::Expire(int64_t nowNs, Tell tell) {
    for (Entry &entry : entries) {
        if (entry.used && nowNs - entry.printedAt >= windowNs) {
            if (entry.heldBack != 0) {
                tell(entry.key, entry.heldBack);
            }
            entry = Entry{};
        }
    }
}
