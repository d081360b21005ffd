// Where messages wait for the broker: the bounded queue and the retained documents.
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mqtt_bridge/outgoing_queue.h"
#include "mqtt_bridge/retained_documents.h"

namespace {

constexpr std::size_t OVERHEAD = OutgoingQueue::MESSAGE_OVERHEAD;

void Push(OutgoingQueue &queue, const std::string &payload) { queue.Push("t", payload.data(), payload.size()); }

std::vector<std::string> TakeAll(OutgoingQueue &queue) {
    std::vector<std::string> payloads;
    while (const auto message = queue.Take()) {
        payloads.push_back(message->payload);
    }
    return payloads;
}

// ---- The queue ----

TEST(OutgoingQueue, GivesMessagesOldestFirstAndAsksForAWakeUpOnlyWhenItWasEmpty) {
    OutgoingQueue queue(10, 10000);
    EXPECT_TRUE(queue.Push("a/b", "one", 3));
    EXPECT_FALSE(queue.Push("a/c", "two", 3));
    const auto first = queue.Take();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->topic, "a/b");
    EXPECT_EQ(first->payload, "one");
    EXPECT_EQ(TakeAll(queue), std::vector<std::string>({"two"}));
    EXPECT_FALSE(queue.Take());
    EXPECT_TRUE(queue.Push("a/b", nullptr, 0)); // an event without data
    EXPECT_EQ(queue.Take()->payload, "");
}

TEST(OutgoingQueue, KeepsTheNewestMessagesAndCountsTheOthers) {
    OutgoingQueue queue(3, 10000);
    for (const char *payload : {"1", "2", "3", "4", "5"}) {
        Push(queue, payload);
    }
    EXPECT_EQ(queue.Dropped(), 2u);
    EXPECT_EQ(TakeAll(queue), std::vector<std::string>({"3", "4", "5"}));
}

TEST(OutgoingQueue, BoundsTheBytesItHolds) {
    const std::size_t messageCost = 1 + 10 + OVERHEAD; // topic "t" and ten bytes
    OutgoingQueue queue(1000, 3 * messageCost);
    for (char c = 'a'; c <= 'e'; ++c) {
        Push(queue, std::string(10, c));
        EXPECT_LE(queue.Bytes(), 3 * messageCost);
    }
    EXPECT_EQ(queue.Size(), 3u);
    EXPECT_EQ(queue.Dropped(), 2u);
    // A larger message makes room for itself.
    Push(queue, std::string(10 + messageCost, 'f'));
    EXPECT_EQ(TakeAll(queue), std::vector<std::string>({std::string(10, 'e'), std::string(10 + messageCost, 'f')}));
}

TEST(OutgoingQueue, DropsAMessageLargerThanItsBoundWithoutTouchingTheOthers) {
    OutgoingQueue queue(10, 1000);
    Push(queue, "kept");
    EXPECT_FALSE(queue.Push("t", std::string(1000, 'x').data(), 1000));
    EXPECT_EQ(queue.Dropped(), 1u);
    EXPECT_EQ(TakeAll(queue), std::vector<std::string>({"kept"}));
}

TEST(OutgoingQueue, ConcurrentPushesAndTakesLoseNothingUncounted) {
    constexpr int PUSHED = 20000;
    OutgoingQueue queue(50, 100000);
    std::thread pusher([&] {
        for (int i = 0; i < PUSHED; ++i) {
            Push(queue, std::to_string(i));
        }
    });
    std::size_t taken = 0;
    int last = -1;
    bool ordered = true;
    while (taken + queue.Dropped() < PUSHED || queue.Size() > 0) {
        if (const auto message = queue.Take()) {
            ++taken;
            ordered = ordered && std::stoi(message->payload) > last;
            last = std::stoi(message->payload);
        }
    }
    pusher.join();
    EXPECT_TRUE(ordered);
    EXPECT_EQ(taken + queue.Dropped(), static_cast<std::size_t>(PUSHED));
    EXPECT_EQ(last, PUSHED - 1); // the newest is never the one dropped
}

// ---- Retained documents ----

std::vector<std::string> Topics(const std::vector<OutgoingMessage> &messages) {
    std::vector<std::string> topics;
    for (const auto &message : messages) {
        topics.push_back(message.topic);
    }
    return topics;
}

TEST(RetainedDocuments, GivesEachChangeOnceAndEverythingAgainAfterAReconnection) {
    RetainedDocuments documents;
    documents.Set("d/modules", "<m/>", 4);
    documents.Set("d/status/80000000/Memory", "<s/>", 4);
    EXPECT_EQ(Topics(documents.TakeChanged(10)), std::vector<std::string>({"d/modules", "d/status/80000000/Memory"}));
    EXPECT_TRUE(documents.TakeChanged(10).empty());
    documents.Set("d/modules", "<m/>", 4); // the same text is no change
    EXPECT_TRUE(documents.TakeChanged(10).empty());
    documents.Set("d/modules", "<m2/>", 5);
    const auto changed = documents.TakeChanged(10);
    ASSERT_EQ(changed.size(), 1u);
    EXPECT_EQ(changed[0].payload, "<m2/>");
    documents.MarkAllChanged();
    EXPECT_EQ(documents.TakeChanged(1).size(), 1u);
    EXPECT_EQ(documents.TakeChanged(10).size(), 1u);
}

TEST(RetainedDocuments, RefusesTopicsBeyondItsLimitAndOversizedDocuments) {
    constexpr uint32_t FLOODER = 0x004D0000u;
    RetainedDocuments documents;
    for (std::size_t i = 0; i <= RetainedDocuments::TOPIC_LIMIT; ++i) {
        documents.Set("d/status/" + std::to_string(i), "x", 1, FLOODER);
    }
    EXPECT_EQ(documents.Refused(), 1u);
    documents.Set("d/status/0", "y", 1, FLOODER); // a known topic still changes
    const std::string large(RetainedDocuments::DOCUMENT_LIMIT + 1, 'x');
    documents.Set("d/status/1", large.data(), large.size(), FLOODER);
    EXPECT_EQ(documents.Refused(), 2u);
    EXPECT_EQ(documents.TakeChanged(100).size(), RetainedDocuments::TOPIC_LIMIT);
}

TEST(RetainedDocuments, AFullTableNeverShutsOutASourcesFirstStatusNorTheBridgesOwn) {
    RetainedDocuments documents;
    for (std::size_t i = 0; i < RetainedDocuments::TOPIC_LIMIT + 5; ++i) {
        documents.Set("d/status/00C10000/" + std::to_string(i), "x", 1, 0x00C10000u);
    }
    documents.TakeChanged(100);
    documents.Set("d/status/00B10000/Camera", "<c/>", 4, 0x00B10000u);
    documents.Set("d/status/00B10000/Disk", "<d/>", 4, 0x00B10000u); // its second is one too many
    documents.Set("d/bridge", "<b/>", 4);
    documents.Set("d/info", "<i/>", 4);
    const auto changed = documents.TakeChanged(100);
    EXPECT_EQ(Topics(changed), std::vector<std::string>({"d/bridge", "d/info", "d/status/00B10000/Camera"}));
}

} // namespace
