#include "diagnostic_rate_limit.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr uint64_t FNV_OFFSET = 14695981039346656037ull;
constexpr uint64_t FNV_PRIME = 1099511628211ull;

bool IsWordCharacter(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; }

uint64_t Mix(uint64_t hash, char c) { return (hash ^ static_cast<unsigned char>(c)) * FNV_PRIME; }

} // namespace

DiagnosticRateLimit::DiagnosticRateLimit(const Limits &limits)
    : limits(limits), bucketNs(static_cast<int64_t>(limits.burst) * limits.refillNs) {}

// Words are runs of letters, digits and underscores; a word with a digit in
// it stands for a number and adds only a mark, so "address 0x7f00 leaked by
// plugin 00C40000" and "address 0x7f80 leaked by plugin 00C50000" are one kind.
uint64_t DiagnosticRateLimit::KindOf(const char *text) {
    uint64_t hash = FNV_OFFSET;
    const char *at = text;
    while (*at != '\0') {
        if (!IsWordCharacter(*at)) {
            hash = Mix(hash, *at++);
            continue;
        }
        const char *end = at;
        bool number = false;
        for (; IsWordCharacter(*end); ++end) {
            number = number || std::isdigit(static_cast<unsigned char>(*end)) != 0;
        }
        if (number) {
            hash = Mix(hash, '#');
        } else {
            for (const char *c = at; c != end; ++c) {
                hash = Mix(hash, *c);
            }
        }
        at = end;
    }
    return hash;
}

DiagnosticRateLimit::Verdict DiagnosticRateLimit::Admit(const char *text, int64_t nowNs) {
    Kind &kind = SlotFor(KindOf(text), nowNs);
    if (nowNs - kind.windowStart >= limits.windowNs) {
        kind.windowStart = nowNs;
        kind.copied = 0;
    }
    kind.lastSeen = nowNs;
    if (kind.copied >= limits.perKind || !TakeToken(nowNs)) {
        ++leftOut;
        return {false, 0};
    }
    ++kind.copied;
    return {true, TakeLeftOut()};
}

uint64_t DiagnosticRateLimit::TakeLeftOut() {
    const uint64_t taken = leftOut;
    leftOut = 0;
    return taken;
}

DiagnosticRateLimit::Kind &DiagnosticRateLimit::SlotFor(uint64_t key, int64_t nowNs) {
    Kind *oldest = &kinds[0];
    for (Kind &kind : kinds) {
        if (kind.used && kind.key == key) {
            return kind;
        }
        if (!kind.used || (oldest->used && kind.lastSeen < oldest->lastSeen)) {
            oldest = &kind;
        }
    }
    *oldest = Kind{true, key, nowNs, nowNs, 0};
    return *oldest;
}

bool DiagnosticRateLimit::TakeToken(int64_t nowNs) {
    const int64_t full = static_cast<int64_t>(limits.burst) * limits.refillNs;
    if (!bucketStarted) {
        bucketStarted = true;
        bucketAt = nowNs;
    }
    // A reading earlier than the last one adds nothing and moves nothing back.
    if (nowNs > bucketAt) {
        bucketNs = std::min(full, bucketNs + (nowNs - bucketAt));
        bucketAt = nowNs;
    }
    if (bucketNs < limits.refillNs) {
        return false;
    }
    bucketNs -= limits.refillNs;
    return true;
}
