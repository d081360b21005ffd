// The job table alone: which tagged events a job thread may raise, the wait
// for the buffer of its previous one, and the job threads' lives around
// the release of a library.
#include "event/job_table.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "plugin_call_records.h"
#include "tests/support/wait_until.h"

namespace {

using testsupport::WaitUntil;

constexpr uint32_t TAG = 7;
constexpr auto PATIENCE = std::chrono::seconds(30);

// What job threads did, in order, shared with the test's thread.
class Journal {
public:
    void Note(const std::string &line) {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(line);
    }
    bool Has(const std::string &line) {
        std::lock_guard<std::mutex> lock(mutex);
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> lock(mutex);
        return lines;
    }

private:
    std::mutex mutex;
    std::vector<std::string> lines;
};

// The table and journal the fake Read entries use: one test at a time.
JobTable *table = nullptr;
Journal *journal = nullptr;
// Two buffers a job raises one after the other.
char firstBuffer[8];
char secondBuffer[8];

_EventParmsIn Tagged(void *data, uint32_t tag = TAG) {
    _EventParmsIn event = EventRecord(0x00A10000u, 0x2u, 0x20u, data != nullptr ? 8u : 0u, data);
    event.JobTag = tag;
    return event;
}

// Raises two data-carrying events, noting each admission.
int32_t RaiseTwo(_ReadParmsIn *, _ReadParmsOut *) {
    journal->Note(table->Admit(Tagged(firstBuffer)) ? "admitted first" : "refused first");
    journal->Note(table->Admit(Tagged(secondBuffer)) ? "admitted second" : "refused second");
    return 0;
}

// Notes what it was given.
int32_t NoteData(_ReadParmsIn *in, _ReadParmsOut *) {
    const std::string data = in->Data != nullptr ? std::string(static_cast<char *>(in->Data), in->DataLength) : "";
    journal->Note("read " + data + " tag " + std::to_string(in->JobTag) + " length " + std::to_string(in->DataLength));
    return 0;
}

int library = 0; // any address names a library

class JobTableTest : public ::testing::Test {
protected:
    JobTableTest() {
        table = &jobs;
        journal = &notes;
    }
    ~JobTableTest() override { jobs.WaitForAllThreads(); }

    void Start(ReadEntryPoint read, int copies = 1, const char *data = nullptr, uint32_t length = 0) {
        _EventParmsIn start = EventRecord(0, 0x1u, 0x10u, length, const_cast<char *>(data));
        start.JobTag = TAG;
        jobs.StartThreads(start, std::vector<JobTarget>(copies, JobTarget{read, &library, "job.so"}));
    }
    bool Eventually(const std::string &line) {
        return WaitUntil([&] { return notes.Has(line); }, PATIENCE);
    }

    JobTable jobs;
    Journal notes;
};

// ---- admission ----

TEST_F(JobTableTest, OnlyARegisteredThreadRaisesTaggedEvents) {
    EXPECT_FALSE(jobs.Admit(Tagged(nullptr)));
    JobWaiter waiter(&library);
    ASSERT_TRUE(jobs.Register(waiter));
    EXPECT_TRUE(jobs.Admit(Tagged(nullptr)));
    jobs.Unregister();
    EXPECT_FALSE(jobs.Admit(Tagged(nullptr)));
}

TEST_F(JobTableTest, ACancelledTagIsRefusedUntilItIsStartedAgain) {
    JobWaiter waiter(&library);
    ASSERT_TRUE(jobs.Register(waiter));
    jobs.Cancel(TAG);
    EXPECT_FALSE(jobs.Admit(Tagged(nullptr)));
    EXPECT_TRUE(jobs.Admit(Tagged(nullptr, TAG + 1)));
    jobs.Uncancel(TAG);
    EXPECT_TRUE(jobs.Admit(Tagged(nullptr)));
    jobs.Unregister();
}

TEST_F(JobTableTest, AnEventWithoutDataIsAdmittedWhileAnotherIsInFlight) {
    JobWaiter waiter(&library);
    ASSERT_TRUE(jobs.Register(waiter));
    ASSERT_TRUE(jobs.Admit(Tagged(firstBuffer)));
    EXPECT_TRUE(jobs.Admit(Tagged(nullptr)));
    {
        MutexLock lock(waiter.Mutex);
        EXPECT_EQ(waiter.Pending, reinterpret_cast<uintptr_t>(firstBuffer));
    }
    jobs.WakeWaiters(reinterpret_cast<uintptr_t>(firstBuffer));
    jobs.Unregister();
}

// ---- waiting for the previous buffer ----

TEST_F(JobTableTest, TheNextDataEventWaitsUntilThePreviousBufferIsFreed) {
    Start(RaiseTwo);
    ASSERT_TRUE(Eventually("admitted first"));
    // Another buffer's release wakes nobody.
    jobs.WakeWaiters(reinterpret_cast<uintptr_t>(secondBuffer) + 1);
    notes.Note("freeing first");
    jobs.WakeWaiters(reinterpret_cast<uintptr_t>(firstBuffer));
    ASSERT_TRUE(Eventually("admitted second"));
    jobs.WakeWaiters(reinterpret_cast<uintptr_t>(secondBuffer));
    jobs.WaitForAllThreads();
    EXPECT_EQ(notes.Lines(), (std::vector<std::string>{"admitted first", "freeing first", "admitted second"}));
}

// ---- releasing a library ----

TEST_F(JobTableTest, ReleasingTheLibraryEndsTheWaitAndReturnsOnceTheThreadHasLeft) {
    Start(RaiseTwo);
    ASSERT_TRUE(Eventually("admitted first"));
    jobs.WaitForThreads(&library);
    // The thread's Read has returned: its second event was refused.
    EXPECT_EQ(notes.Lines(), (std::vector<std::string>{"admitted first", "refused second"}));
}

TEST_F(JobTableTest, AReleasedLibraryStartsNoMoreJobs) {
    jobs.WaitForThreads(&library);
    Start(NoteData);
    jobs.WaitForAllThreads();
    EXPECT_TRUE(notes.Lines().empty());
}

// ---- starting ----

TEST_F(JobTableTest, EveryTargetRunsWithItsOwnCopyOfTheData) {
    char data[] = "job data";
    Start(NoteData, 2, data, 8);
    data[0] = 'X'; // the raiser's buffer is its own again once the start returns
    jobs.WaitForAllThreads();
    EXPECT_EQ(notes.Lines(), (std::vector<std::string>(2, "read job data tag 7 length 8")));
}

TEST_F(JobTableTest, AJobWithoutDataStartsWithNullAndTheRaisedLength) {
    Start(NoteData, 1, nullptr, 5);
    jobs.WaitForAllThreads();
    EXPECT_EQ(notes.Lines(), (std::vector<std::string>{"read  tag 7 length 5"}));
}

} // namespace
