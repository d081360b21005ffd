// The spin lock of the copies' heads and of the copy pool.
#include "base/spin_lock.h"

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/wait_until.h"

// More threads than processors, so that holders are preempted while they
// hold the lock and waiters go past their yields to sleep in the kernel.
TEST(SpinLock, ThreadsTakingItInTurnNeverOverlap) {
    SpinLock lock;
    long counted = 0;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                SpinLockGuard guard(lock);
                if (inside.fetch_add(1) != 0) {
                    overlapped = true;
                }
                ++counted;
                inside.fetch_sub(1);
            }
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    EXPECT_FALSE(overlapped);
    EXPECT_EQ(counted, 6 * 20000);
}

// A waiter that has long passed its yields and sleeps is woken when the
// holder lets go.
TEST(SpinLock, AWaiterOutlastingItsYieldsGetsTheLockOnceFree) {
    SpinLock lock;
    std::atomic<bool> taken{false};
    lock.Lock();
    std::thread waiter([&] {
        SpinLockGuard guard(lock);
        taken = true;
    });
    for (int i = 0; i < 100; ++i) {
        std::this_thread::yield();
    }
    EXPECT_FALSE(taken);
    lock.Unlock();
    EXPECT_TRUE(testsupport::WaitUntil([&] { return taken.load(); }, std::chrono::seconds(30)));
    waiter.join();
}
