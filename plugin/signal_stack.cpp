#include "signal_stack.h"

#include <algorithm>
#include <atomic>
#include <csignal>

#include <sys/mman.h>
#include <unistd.h>

namespace {

constexpr std::size_t MINIMUM_STACK_BYTES = 64 * 1024;

std::size_t PageBytes() { return static_cast<std::size_t>(sysconf(_SC_PAGESIZE)); }

std::size_t MappedBytes() { return AlternateSignalStack::Size() + PageBytes(); }

char *StackBottom(void *mapping) { return static_cast<char *>(mapping) + PageBytes(); }

bool HasAlternateStack() {
    stack_t current{};
    return sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0;
}

// Ended threads' mappings, guard page already protected. Each slot is taken
// and filled by one atomic exchange: no lock, so a thread ending during the
// process's exit, or a child forked while another thread gave a stack back,
// never waits; constant-initialised and never destroyed, so a thread that
// ends after the static objects are gone still finds it.
//
// A kept stack costs address space only: the core's one handler that runs
// on it is the fatal-signal one, after which the process ends, so its pages
// were never touched and hold no memory.
std::atomic<void *> keptStacks[AlternateSignalStack::CACHED_STACKS];

void *TakeKeptStack() {
    for (std::atomic<void *> &slot : keptStacks) {
        if (slot.load(std::memory_order_relaxed) != nullptr) {
            if (void *mapping = slot.exchange(nullptr, std::memory_order_acquire)) {
                return mapping;
            }
        }
    }
    return nullptr;
}

// The guard page below the stack turns an overflow of the handler itself
// into a second fault, which ends the process at once.
void *MapStack() {
    void *memory = mmap(nullptr, MappedBytes(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (memory == MAP_FAILED) {
        return nullptr;
    }
    if (mprotect(memory, PageBytes(), PROT_NONE) != 0) {
        munmap(memory, MappedBytes());
        return nullptr;
    }
    return memory;
}

void KeepOrUnmap(void *mapping) {
    for (std::atomic<void *> &slot : keptStacks) {
        void *empty = nullptr;
        if (slot.load(std::memory_order_relaxed) == nullptr &&
            slot.compare_exchange_strong(empty, mapping, std::memory_order_release, std::memory_order_relaxed)) {
            return;
        }
    }
    munmap(mapping, MappedBytes());
}

// Whether the calling thread no longer uses the stack at `bottom`: turning
// it off fails while the thread runs on it (a thread that ends from within
// a handler). A stack the thread's own code put in its place is put back.
bool StopUsing(const char *bottom) {
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    stack_t previous{};
    if (sigaltstack(&off, &previous) != 0) {
        return false;
    }
    if ((previous.ss_flags & SS_DISABLE) == 0 && previous.ss_sp != bottom) {
        sigaltstack(&previous, nullptr);
    }
    return true;
}

} // namespace

std::size_t AlternateSignalStack::Size() {
    const long asked = sysconf(_SC_SIGSTKSZ);
    const std::size_t page = PageBytes();
    const std::size_t bytes = std::max(MINIMUM_STACK_BYTES, asked > 0 ? static_cast<std::size_t>(asked) : 0);
    return (bytes + page - 1) / page * page;
}

AlternateSignalStack::AlternateSignalStack() {
    if (HasAlternateStack()) {
        return;
    }
    void *memory = TakeKeptStack();
    if (memory == nullptr) {
        memory = MapStack();
    }
    if (memory == nullptr) {
        return;
    }
    stack_t stack{};
    stack.ss_sp = StackBottom(memory);
    stack.ss_size = Size();
    if (sigaltstack(&stack, nullptr) != 0) {
        KeepOrUnmap(memory);
        return;
    }
    mapping = memory;
    owner = pthread_self();
}

// A stack that may still be in use, on this thread or (destroyed from
// another) on its own, stays mapped and is never handed on.
AlternateSignalStack::~AlternateSignalStack() {
    if (mapping != nullptr && pthread_equal(owner, pthread_self()) && StopUsing(StackBottom(mapping))) {
        KeepOrUnmap(mapping);
    }
}
