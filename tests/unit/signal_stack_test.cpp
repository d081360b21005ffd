// The alternate signal stacks of the threads the core starts, and the ended
// threads' stacks kept for the next ones.
#include "plugin/signal_stack.h"

#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

constexpr std::size_t KEPT = AlternateSignalStack::CACHED_STACKS;

std::size_t PageBytes() { return static_cast<std::size_t>(sysconf(_SC_PAGESIZE)); }

// The calling thread's alternate stack: its lowest byte, or null.
void *CurrentStack() {
    stack_t current{};
    if (sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_DISABLE) != 0) {
        return nullptr;
    }
    return current.ss_sp;
}

bool StillMapped(const void *stack) {
    unsigned char resident = 0;
    return mincore(const_cast<void *>(stack), PageBytes(), &resident) == 0;
}

// A mark in the stack's topmost bytes, which a fresh mapping has as zero.
std::uintptr_t &Mark(void *stack) {
    return *reinterpret_cast<std::uintptr_t *>(static_cast<char *>(stack) + AlternateSignalStack::Size() -
                                               sizeof(std::uintptr_t));
}

// A sanitizer gives each thread an alternate stack of its own: set aside
// for the body, so that the body's stacks are the core's.
void WithoutInheritedStack(const std::function<void()> &body) {
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    stack_t inherited{};
    ASSERT_EQ(sigaltstack(&off, &inherited), 0);
    body();
    if ((inherited.ss_flags & SS_DISABLE) == 0) {
        sigaltstack(&inherited, nullptr);
    }
}

// Runs `count` threads that each hold a core stack at the same time, and
// calls `onStack` with each one's stack before any of them ends.
void ThreadsTogether(std::size_t count, const std::function<void(void *)> &onStack) {
    std::mutex lock;
    std::condition_variable allThere;
    std::size_t there = 0;
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < count; ++t) {
        threads.emplace_back([&] {
            WithoutInheritedStack([&] {
                AlternateSignalStack stack;
                std::unique_lock<std::mutex> held(lock);
                EXPECT_TRUE(stack.Installed());
                if (stack.Installed()) {
                    onStack(CurrentStack());
                }
                ++there;
                allThere.notify_all();
                allThere.wait(held, [&] { return there == count; });
            });
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
}

// Addresses as void pointers, which a failed expectation prints as numbers
// rather than reading them as texts.
using Stacks = std::set<const void *>;

Stacks StacksOfThreadsTogether(std::size_t count) {
    Stacks stacks;
    ThreadsTogether(count, [&](void *stack) { stacks.insert(stack); });
    return stacks;
}

} // namespace

// A mapping made afresh at the same address would have lost the marks.
TEST(AlternateSignalStack, LaterThreadsTakeTheStacksOfEndedOnes) {
    Stacks first;
    ThreadsTogether(KEPT, [&](void *stack) {
        first.insert(stack);
        Mark(stack) = reinterpret_cast<std::uintptr_t>(stack);
    });
    Stacks second;
    ThreadsTogether(KEPT, [&](void *stack) {
        second.insert(stack);
        EXPECT_EQ(Mark(stack), reinterpret_cast<std::uintptr_t>(stack)) << "a new mapping, not a kept one";
    });
    EXPECT_EQ(second, first);
}

TEST(AlternateSignalStack, StacksBeyondTheKeptOnesAreUnmapped) {
    const Stacks all = StacksOfThreadsTogether(KEPT + 4);
    ASSERT_EQ(all.size(), KEPT + 4);
    Stacks kept;
    for (const void *stack : all) {
        if (StillMapped(stack)) {
            kept.insert(stack);
        }
    }
    EXPECT_EQ(kept.size(), KEPT);
    EXPECT_EQ(StacksOfThreadsTogether(KEPT), kept);
}

// The guard page is protected once, when the stack is first mapped: a kept
// stack must still have it when the next thread takes it.
TEST(AlternateSignalStackDeathTest, AKeptStackStillHasItsGuardPage) {
    ThreadsTogether(1, [](void *stack) { Mark(stack) = 1; });
    EXPECT_DEATH(
        {
            std::thread([] {
                WithoutInheritedStack([] {
                    AlternateSignalStack stack;
                    void *bottom = CurrentStack();
                    if (bottom == nullptr || Mark(bottom) != 1) {
                        _exit(0); // not the kept stack: the test fails
                    }
                    static_cast<volatile char *>(bottom)[-1] = 0;
                    _exit(0);
                });
            }).join();
        },
        "");
}

// Its own stack, or one it puts in the core's place, is the thread's to keep.
TEST(AlternateSignalStack, AThreadKeepsTheStackItHasOfItsOwn) {
    std::thread([] {
        WithoutInheritedStack([] {
            std::vector<char> own(AlternateSignalStack::Size());
            stack_t installed{};
            installed.ss_sp = own.data();
            installed.ss_size = own.size();
            ASSERT_EQ(sigaltstack(&installed, nullptr), 0);
            {
                AlternateSignalStack stack;
                EXPECT_FALSE(stack.Installed());
                EXPECT_EQ(CurrentStack(), static_cast<void *>(own.data()));
            }
            EXPECT_EQ(CurrentStack(), static_cast<void *>(own.data()));

            stack_t off{};
            off.ss_flags = SS_DISABLE;
            ASSERT_EQ(sigaltstack(&off, nullptr), 0);
            {
                AlternateSignalStack stack;
                ASSERT_TRUE(stack.Installed());
                ASSERT_EQ(sigaltstack(&installed, nullptr), 0);
            }
            EXPECT_EQ(CurrentStack(), static_cast<void *>(own.data()));
            sigaltstack(&off, nullptr);
        });
    }).join();
}
