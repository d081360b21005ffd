#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// Decides which diagnostic lines are copied to the system log, so that a
// line that repeats (a plugin's long calls, a stop that keeps waiting, one
// leaked buffer after another) cannot flood it. Two bounds apply to every
// line:
//  - per kind: lines that differ only in their numbers (every word holding a
//    digit, hexadecimal addresses and IDs included, counts as a number) are
//    one kind, of which at most `perKind` lines are copied per window;
//  - overall: a bucket of `burst` lines, refilled by one line every
//    `refillNs`.
// Lines left out are counted until the next line that is copied, so that
// the log says how many it lacks. It tracks at most KINDS kinds at once; a
// further kind takes the slot of the one seen longest ago. Allocates
// nothing. Not thread-safe: the caller serialises.
class DiagnosticRateLimit {
public:
    static constexpr std::size_t KINDS = 64;

    struct Limits {
        int64_t windowNs;
        uint32_t perKind;
        uint32_t burst;
        int64_t refillNs;
    };
    // Five lines of a kind a minute; twenty at once, then one every half second.
    static constexpr Limits DEFAULT_LIMITS{60000000000, 5, 20, 500000000};

    explicit DiagnosticRateLimit(const Limits &limits = DEFAULT_LIMITS);

    struct Verdict {
        bool copy;        // copy the line now
        uint64_t leftOut; // when copying: lines left out since the last line copied, to tell first
    };
    Verdict Admit(const char *text, int64_t nowNs);

    // Lines left out since the last line copied; resets the count.
    uint64_t TakeLeftOut();

    // The kind of a line: its text with the words that hold digits left out.
    static uint64_t KindOf(const char *text);

private:
    struct Kind {
        bool used = false;
        uint64_t key = 0;
        int64_t windowStart = 0;
        int64_t lastSeen = 0;
        uint32_t copied = 0;
    };

    Kind &SlotFor(uint64_t key, int64_t nowNs);
    bool TakeToken(int64_t nowNs);

    const Limits limits;
    std::array<Kind, KINDS> kinds{};
    // The bucket, in nanoseconds of refill: one line costs `refillNs`.
    int64_t bucketNs;
    int64_t bucketAt = 0;
    bool bucketStarted = false;
    uint64_t leftOut = 0;
};
