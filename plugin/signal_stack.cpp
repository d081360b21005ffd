#include "signal_stack.h"

#include <algorithm>
#include <csignal>

#include <sys/mman.h>
#include <unistd.h>

namespace {

constexpr std::size_t MINIMUM_STACK_BYTES = 64 * 1024;

std::size_t PageBytes() { return static_cast<std::size_t>(sysconf(_SC_PAGESIZE)); }

bool HasAlternateStack() {
    stack_t current{};
    return sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0;
}

} // namespace

std::size_t AlternateSignalStack::Size() {
    const long asked = sysconf(_SC_SIGSTKSZ);
    const std::size_t page = PageBytes();
    const std::size_t bytes = std::max(MINIMUM_STACK_BYTES, asked > 0 ? static_cast<std::size_t>(asked) : 0);
    return (bytes + page - 1) / page * page;
}

// The guard page below the stack turns an overflow of the handler itself
// into a second fault, which ends the process at once.
AlternateSignalStack::AlternateSignalStack() {
    if (HasAlternateStack()) {
        return;
    }
    const std::size_t page = PageBytes();
    const std::size_t bytes = Size() + page;
    void *memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (memory == MAP_FAILED) {
        return;
    }
    mprotect(memory, page, PROT_NONE);
    stack_t stack{};
    stack.ss_sp = static_cast<char *>(memory) + page;
    stack.ss_size = bytes - page;
    if (sigaltstack(&stack, nullptr) != 0) {
        munmap(memory, bytes);
        return;
    }
    mapping = memory;
    mappedBytes = bytes;
}

AlternateSignalStack::~AlternateSignalStack() {
    if (mapping == nullptr) {
        return;
    }
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
    munmap(mapping, mappedBytes);
}
