// The event queue and its loop: arrival order, the stop, and what counts as
// waiting while a batch is handed out.
#include "event/event_queue.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "plugin_call_records.h"
#include "tests/support/wait_until.h"

namespace {

_EventParmsIn Numbered(uint32_t number) { return EventRecord(number, 0x1u, 0x10u, 0, nullptr); }

class EventQueueTest : public ::testing::Test {
protected:
    std::vector<uint32_t> RunUntilStopped() {
        std::vector<uint32_t> delivered;
        queue.Run([&](const _EventParmsIn &event) { delivered.push_back(event.Source); });
        return delivered;
    }

    BufferHolderTable copies{nullptr};
    EventQueue queue{copies};
};

TEST_F(EventQueueTest, TheLoopDeliversInArrivalOrderWhatWasQueuedBeforeTheStop) {
    for (uint32_t number = 1; number <= 100; ++number) {
        ASSERT_EQ(queue.Append(Numbered(number)), EVENT_OK);
    }
    queue.RequestStop();
    const std::vector<uint32_t> delivered = RunUntilStopped();
    ASSERT_EQ(delivered.size(), 100u);
    for (uint32_t number = 1; number <= 100; ++number) {
        EXPECT_EQ(delivered[number - 1], number);
    }
}

TEST_F(EventQueueTest, AnEventRaisedAfterTheStopIsRefused) {
    queue.RequestStop();
    EXPECT_TRUE(queue.StopRequested());
    EXPECT_EQ(queue.Append(Numbered(1)), EVENT_REFUSED);
    EXPECT_TRUE(RunUntilStopped().empty());
}

TEST_F(EventQueueTest, AWaitingLoopWakesForAnEventAndForTheStop) {
    std::atomic<uint32_t> last{0};
    std::thread loop([&] { queue.Run([&](const _EventParmsIn &event) { last = event.Source; }); });
    queue.Append(Numbered(7));
    EXPECT_TRUE(testsupport::WaitUntil([&] { return last == 7; }, std::chrono::seconds(30)));
    queue.RequestStop();
    loop.join();
}

TEST_F(EventQueueTest, TheRestOfTheBatchCountsAsWaiting) {
    for (uint32_t number = 1; number <= 3; ++number) {
        queue.Append(Numbered(number));
    }
    queue.RequestStop();
    std::vector<std::size_t> waiting;
    queue.Run([&](const _EventParmsIn &) { waiting.push_back(queue.Waiting()); });
    EXPECT_EQ(waiting, (std::vector<std::size_t>{2, 1, 0}));
}

} // namespace
