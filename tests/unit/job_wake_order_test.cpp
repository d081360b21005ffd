// A freed event buffer wakes the job thread waiting for it before the memory
// is given back: once freed, the address may belong to another job thread's
// next copy at once, and that thread's wait must not be cleared with it.
//
// The test program is linked with --wrap=free, so that every free of the
// core's code passes through __wrap_free below and the test sees what the job
// thread's wait was at the moment its buffer was freed.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <mutex>

#include <vector>

#include <pthread.h>

#include <gtest/gtest.h>

#include "core/dvrcore.h"
#include "event/job_thread.h"
#include "tests/unit/core_test_access.h"

extern "C" void __real_free(void *pointer);

namespace {

// The buffer to watch, read by every free of the program, and the wait to
// look at when it is freed, which the test's own thread does.
std::atomic<void *> watchedBuffer{nullptr};
JobWaiter *watchedWaiter = nullptr;
uintptr_t pendingWhenFreed = 0;
bool watchedBufferFreed = false;

} // namespace

// The heap block of a large copy starts with the copy's head, or is the data
// itself where every copy is a malloc of its own.
extern "C" void __wrap_free(void *pointer) {
    void *watched = watchedBuffer;
    if (pointer != nullptr && watched != nullptr &&
        (pointer == watched || static_cast<char *>(pointer) + sizeof(HeldCopy) == watched)) {
        MutexLock lock(watchedWaiter->Mutex);
        pendingWhenFreed = watchedWaiter->Pending;
        watchedBufferFreed = true;
    }
    __real_free(pointer);
}

TEST(JobWakeOrder, TheWaitingJobThreadIsWokenBeforeItsBufferIsFreed) {
    dvrcore core("/nonexistent/core");
    JobWaiter waiter(nullptr);
    // A copy too large for the pool's slabs goes back to the heap with free,
    // where the test can see it; every copy is freed by the same steps.
    const std::vector<char> data(SlabCopyPool::MAX_SLAB_DATA + 1, 'x');
    void *buffer = CoreTestAccess::EventCopies(core).Copy(data.data(), data.size());
    ASSERT_NE(buffer, nullptr);
    {
        MutexLock lock(waiter.Mutex);
        waiter.Pending = reinterpret_cast<uintptr_t>(buffer);
    }
    ASSERT_TRUE(CoreTestAccess::Jobs(core).Register(waiter));
    watchedBuffer = buffer;
    watchedWaiter = &waiter;

    CoreTestAccess::FreeEventData(core, buffer);

    watchedBuffer = nullptr;
    CoreTestAccess::Jobs(core).Unregister();
    ASSERT_TRUE(watchedBufferFreed);
    EXPECT_EQ(pendingWhenFreed, 0u) << "the buffer was freed while a job thread still waited for its address";
    MutexLock lock(waiter.Mutex);
    EXPECT_EQ(waiter.Pending, 0u);
}
