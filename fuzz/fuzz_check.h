#pragma once

#include <cstdio>
#include <cstdlib>

// A broken property is a finding: say which and abort, so that libFuzzer keeps the input.
inline void Require(bool holds, const char *property) {
    if (holds)
        return;
    std::fprintf(stderr, "finding: %s\n", property);
    std::abort();
}
