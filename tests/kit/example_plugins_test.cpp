// The example plugins, each driven through the test kit as a plugin author's
// unit test would drive it.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dvrplugin_testkit.h"
#include "tests/kit/kit_test_support.h"

namespace {

using dvrtest::EventKind;
using dvrtest::PluginUnderTest;
using dvrtest::RaisedEvent;
using kittest::Timeout;

constexpr uint32_t OTHER_PLUGIN = 0x00AB0000u;
constexpr uint32_t FRAME_CLASS = 0x8u;
constexpr uint32_t FRAME_TYPE = 0x100u;
constexpr uint32_t JOB_CLASS = 0x10u;
constexpr uint32_t JOB_TYPE = 0x200u;
constexpr uint32_t PROGRESS_TYPE = 0x400u;

bool HasLogLine(const std::vector<RaisedEvent> &events, const std::string &text) {
    for (const auto &event : events) {
        if (event.IsLog() && event.Text() == text) {
            return true;
        }
    }
    return false;
}

std::vector<RaisedEvent> TaggedWith(const std::vector<RaisedEvent> &events, uint32_t jobTag) {
    std::vector<RaisedEvent> tagged;
    for (const auto &event : events) {
        if (event.Kind == EventKind::Ordinary && event.JobTag == jobTag) {
            tagged.push_back(event);
        }
    }
    return tagged;
}

dvrtest::Bytes Steps(uint32_t steps) {
    dvrtest::Bytes data(sizeof steps);
    std::memcpy(data.data(), &steps, sizeof steps);
    return data;
}

class ExamplePluginsTest : public kittest::ScratchDirectoryTest {};

// ---- logger -------------------------------------------------------------

TEST_F(ExamplePluginsTest, LoggerAppendsEveryLogLineItReceivesToItsFile) {
    PluginUnderTest logger(LOGGER_PLUGIN);
    ASSERT_TRUE(logger.Load().Ok());
    ASSERT_TRUE(logger.Open().Ok());
    EXPECT_TRUE(logger.Write(dvrtest::LogEvent(OTHER_PLUGIN, LOG_LEVEL_WARNING, "disk almost full")).Called);
    dvrtest::Event coreLine = dvrtest::LogEvent(CORE_SOURCE, LOG_LEVEL_INFO, "successfully started");
    coreLine.EventType |= TYPE_FROM_CORE;
    EXPECT_TRUE(logger.Write(coreLine).Called);
    // A text without its NUL is written by its length.
    dvrtest::Event unterminated = dvrtest::LogEvent(OTHER_PLUGIN, LOG_LEVEL_ERROR, "no end");
    unterminated.Data.pop_back();
    EXPECT_TRUE(logger.Write(unterminated).Called);
    EXPECT_FALSE(logger.Write(dvrtest::DataEvent(OTHER_PLUGIN, FRAME_CLASS, FRAME_TYPE, "frame 1")).Called);
    EXPECT_TRUE(logger.Close().Ok());
    logger.Unload();

    EXPECT_EQ(ReadFile("example-logger.log"),
              "00AB0000 50 disk almost full\n80000000 25 successfully started\n00AB0000 100 no end\n");
    EXPECT_TRUE(logger.RetainedBuffers().empty());
    EXPECT_TRUE(logger.Events().empty());
}

// ---- producer and consumer ------------------------------------------------

TEST_F(ExamplePluginsTest, ProducerRaisesNumberedFramesFromItsWorkerUntilClosed) {
    PluginUnderTest producer(PRODUCER_PLUGIN);
    ASSERT_TRUE(producer.Load().Ok());
    ASSERT_TRUE(producer.Open().Ok());
    ASSERT_TRUE(producer.WaitForEvents(2, Timeout(20)));
    producer.Close();
    producer.Unload();

    const auto frames = producer.Events();
    ASSERT_GE(frames.size(), 2u);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].Source, producer.Info().ID);
        EXPECT_EQ(frames[i].EventClass, FRAME_CLASS);
        EXPECT_EQ(frames[i].EventType, FRAME_TYPE);
        EXPECT_EQ(frames[i].Text(), "frame " + std::to_string(i + 1));
    }
    // The worker stops at the first refusal, or sooner at Close.
    for (std::size_t i = 0; i + 1 < frames.size(); ++i) {
        EXPECT_EQ(frames[i].Result, EVENT_OK);
    }
}

TEST_F(ExamplePluginsTest, ConsumerRetainsFramesAndReleasesThemFromItsWorker) {
    PluginUnderTest consumer(CONSUMER_PLUGIN);
    ASSERT_TRUE(consumer.Load().Ok());
    ASSERT_TRUE(consumer.Open().Ok());
    for (int i = 1; i <= 3; ++i) {
        const auto delivery =
            consumer.Write(dvrtest::DataEvent(OTHER_PLUGIN, FRAME_CLASS, FRAME_TYPE, "frame " + std::to_string(i)));
        EXPECT_TRUE(delivery.Called);
        EXPECT_TRUE(delivery.Retained);
    }
    EXPECT_LE(consumer.RetainedBuffers().size(), 3u);
    ASSERT_TRUE(consumer.WaitUntil(
        [](const std::vector<RaisedEvent> &events) {
            return std::count_if(events.begin(), events.end(),
                                 [](const RaisedEvent &event) { return event.Kind == EventKind::Release; }) == 3;
        },
        Timeout(20)));
    EXPECT_TRUE(consumer.RetainedBuffers().empty());
    EXPECT_EQ(consumer.UnmatchedReleases(), 0u);
    const auto events = consumer.Events();
    EXPECT_TRUE(HasLogLine(events, "consumer releases frame 1"));
    EXPECT_TRUE(HasLogLine(events, "consumer releases frame 3"));
    consumer.Close();
    consumer.Unload();
}

TEST_F(ExamplePluginsTest, ConsumerKeepsAtMostFourFramesAndGivesAllBackAtClose) {
    PluginUnderTest consumer(CONSUMER_PLUGIN);
    ASSERT_TRUE(consumer.Load().Ok());
    ASSERT_TRUE(consumer.Open().Ok());
    std::size_t retained = 0;
    for (int i = 1; i <= 6; ++i) {
        retained += consumer.Write(dvrtest::DataEvent(OTHER_PLUGIN, FRAME_CLASS, FRAME_TYPE, "frame")).Retained;
        EXPECT_LE(consumer.RetainedBuffers().size(), 4u);
    }
    consumer.Close();
    consumer.Unload();
    EXPECT_TRUE(consumer.RetainedBuffers().empty());
    EXPECT_EQ(consumer.Events(EventKind::Release).size(), retained);
    EXPECT_EQ(consumer.UnmatchedReleases(), 0u);
}

// ---- job runner -------------------------------------------------------------

class JobRunnerTest : public ExamplePluginsTest {
protected:
    void SetUp() override {
        ExamplePluginsTest::SetUp();
        ASSERT_TRUE(runner.Load().Ok());
        ASSERT_TRUE(runner.Open().Ok());
    }

    void TearDown() override {
        runner.Close();
        runner.Unload();
        ExamplePluginsTest::TearDown();
    }

    PluginUnderTest runner{JOB_RUNNER_PLUGIN};
};

TEST_F(JobRunnerTest, ReadDoesTheJobOnItsThreadAndReportsEachStep) {
    ASSERT_TRUE(runner.StartJob(700, JOB_CLASS, JOB_TYPE, Steps(2)));
    ASSERT_TRUE(runner.WaitUntil([](const auto &events) { return HasLogLine(events, "job 700 finished 2 steps"); },
                                 Timeout(20)));
    const auto progress = TaggedWith(runner.Events(), 700);
    ASSERT_EQ(progress.size(), 2u);
    for (const auto &event : progress) {
        EXPECT_EQ(event.EventType, PROGRESS_TYPE);
        EXPECT_EQ(event.Result, EVENT_OK);
        EXPECT_TRUE(event.FromJobThread);
    }
}

TEST_F(JobRunnerTest, CancelledJobStopsAtItsNextStep) {
    ASSERT_TRUE(runner.StartJob(800, JOB_CLASS, JOB_TYPE, Steps(100000)));
    ASSERT_TRUE(runner.WaitUntil([](const auto &events) { return !TaggedWith(events, 800).empty(); }, Timeout(20)));
    runner.CancelJob(800);
    ASSERT_TRUE(runner.WaitUntil(
        [](const auto &events) {
            for (const auto &event : events) {
                if (event.IsLog() && event.Text().rfind("job 800 stopped after step ", 0) == 0) {
                    return true;
                }
            }
            return false;
        },
        Timeout(20)));
    EXPECT_EQ(TaggedWith(runner.Events(), 800).back().Result, EVENT_REFUSED);
}

TEST_F(JobRunnerTest, WorkerStartsJobsThatTheRunnerTakesItself) {
    EXPECT_FALSE(runner.StartJob(900, JOB_CLASS, PROGRESS_TYPE, Steps(1))) << "its masks do not take this type";
    ASSERT_TRUE(
        runner.WaitUntil([](const auto &events) { return HasLogLine(events, "job 1 finished 5 steps"); }, Timeout(30)));
    const auto starts = runner.Events(EventKind::JobStart);
    ASSERT_FALSE(starts.empty());
    EXPECT_EQ(starts[0].Source, JOB_CONTROL_SOURCE);
    EXPECT_EQ(starts[0].JobTag, 1u);
    EXPECT_EQ(starts[0].EventClass, JOB_CLASS);
    EXPECT_EQ(starts[0].EventType, JOB_TYPE);
    EXPECT_EQ(starts[0].Data, Steps(5));
    EXPECT_EQ(TaggedWith(runner.Events(), 1).size(), 5u);
}

// ---- echo responder ---------------------------------------------------------

TEST_F(ExamplePluginsTest, EchoResponderAnswersPacketsAddressedToIt) {
    PluginUnderTest echo(ECHO_RESPONDER_PLUGIN);
    ASSERT_TRUE(echo.Load().Ok());
    ASSERT_TRUE(echo.Open().Ok());
    EXPECT_TRUE(echo.SendPacket(0x0EC00042u, 100, "hello").Ok());
    EXPECT_FALSE(echo.SendPacket(0x0ED00000u, 100, "not mine").Called);

    const auto packets = echo.Packets();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].Address(), 0x0EC00042u);
    EXPECT_EQ(packets[0].PacketType(), 100u);
    EXPECT_EQ(packets[0].Payload(), "echo: hello");
    EXPECT_EQ(packets[0].Data.size(), sizeof(IpcHeader) + 11);
    EXPECT_TRUE(HasLogLine(echo.Events(), "answered a packet of 21 bytes: result 0"));

    // Without a link the answer is refused, and the responder says so.
    echo.CloseSupervisorLink();
    const auto refused = echo.SendPacket(0x0EC00000u, 100, "again");
    EXPECT_TRUE(refused.Called);
    EXPECT_EQ(refused.Error, EVENT_REFUSED);
    EXPECT_EQ(echo.Packets().size(), 1u);
}

} // namespace
