// The chunked queue under the event queue: order across chunks, and what a
// swap hands over.
#include "base/chunked_queue.h"

#include <vector>

#include <gtest/gtest.h>

namespace {

using SmallQueue = ChunkedQueue<int, 4, 2>;

std::vector<int> Drain(SmallQueue &queue) {
    std::vector<int> items;
    while (!queue.Empty()) {
        items.push_back(queue.Front());
        queue.DropFront();
    }
    return items;
}

std::vector<int> Listed(const SmallQueue &queue) {
    std::vector<int> items;
    queue.ForEach([&](int item) { items.push_back(item); });
    return items;
}

} // namespace

TEST(ChunkedQueue, KeepsArrivalOrderAcrossChunksWhileFillingAndDrainingInTurn) {
    SmallQueue queue;
    std::vector<int> expected;
    std::vector<int> drained;
    int next = 0;
    for (int round = 0; round < 20; ++round) {
        for (int i = 0; i < round % 7 + 1; ++i) {
            queue.PushBack(next);
            expected.push_back(next++);
        }
        EXPECT_EQ(Listed(queue).size(), queue.Size());
        for (int i = 0; i < round % 5 && !queue.Empty(); ++i) {
            drained.push_back(queue.Front());
            queue.DropFront();
        }
    }
    for (int item : Drain(queue)) {
        drained.push_back(item);
    }
    EXPECT_EQ(drained, expected);
}

TEST(ChunkedQueue, ASwapHandsOverTheItemsWholeAndLeavesAnEmptyQueueThatStillWorks) {
    SmallQueue producers;
    SmallQueue consumer;
    for (int i = 0; i < 10; ++i) {
        producers.PushBack(i);
    }
    producers.Swap(consumer);
    EXPECT_TRUE(producers.Empty());
    EXPECT_EQ(consumer.Size(), 10u);
    EXPECT_EQ(Listed(consumer), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    producers.PushBack(10);
    EXPECT_EQ(Drain(consumer), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    // The drained queue's kept chunks go to the producers with the next swap.
    consumer.Swap(producers);
    producers.Release();
    for (int i = 11; i < 20; ++i) {
        producers.PushBack(i);
    }
    EXPECT_EQ(Drain(consumer), (std::vector<int>{10}));
    EXPECT_EQ(Drain(producers), (std::vector<int>{11, 12, 13, 14, 15, 16, 17, 18, 19}));
}
