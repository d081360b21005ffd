// The supervisor link's send queue over a fake socket: order, packet-sized
// pieces, waiting for room, dropped and lost sends, the closed link, and
// threads handing over together.
#include "ipc/send_queue.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/error.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <gtest/gtest.h>

#include "include/dvrplugin.h"

namespace {

using boost::system::error_code;

error_code SystemError(int value) { return {value, boost::system::system_category()}; }

// Takes every packet unless the script says otherwise: each send takes the
// next scripted outcome, where no error means taken.
class FakeSocket final : public PacketSocket {
public:
    std::size_t Send(const void *data, std::size_t length, error_code &error) override {
        if (!script.empty()) {
            error = script.front();
            script.pop_front();
            if (error) {
                return 0;
            }
        }
        sent.emplace_back(static_cast<const char *>(data), length);
        return length;
    }
    void WaitWritable(WaitHandler done) override { pendingWait = std::move(done); }

    // Ends the outstanding wait for room, as the socket would.
    void FinishWait(const error_code &error = {}) {
        WaitHandler done = std::move(pendingWait);
        pendingWait = nullptr;
        done(error);
    }

    std::deque<error_code> script;
    std::vector<std::string> sent;
    WaitHandler pendingWait;
};

void *Copy(const std::string &text) {
    void *buffer = std::malloc(text.size());
    std::memcpy(buffer, text.data(), text.size());
    return buffer;
}

class SendQueueTest : public ::testing::Test {
protected:
    SendQueueTest() { queue.Open(); }

    int32_t Hand(const std::string &text) { return queue.Hand(Copy(text), static_cast<uint32_t>(text.size())); }
    // Runs what was posted to the asio thread; how many handlers ran.
    std::size_t RunAsio() {
        const std::size_t handlers = io.poll();
        io.restart();
        return handlers;
    }

    boost::asio::io_context io;
    FakeSocket socket;
    int linkLosses = 0;
    // As the core does on a lost link: closed, and what was left freed.
    SendQueue queue{io, socket, [this] {
                        ++linkLosses;
                        queue.Close();
                        queue.Discard();
                    }};
};

// ---- order and pieces ----

TEST_F(SendQueueTest, BuffersHandedOverTogetherAreSentInOrderOnOneWakeUp) {
    EXPECT_EQ(Hand("first"), EVENT_OK);
    EXPECT_EQ(Hand("second"), EVENT_OK);
    EXPECT_EQ(Hand("third"), EVENT_OK);
    EXPECT_EQ(RunAsio(), 1u);
    EXPECT_EQ(socket.sent, (std::vector<std::string>{"first", "second", "third"}));
}

TEST_F(SendQueueTest, ALongBufferGoesInPacketSizedPieces) {
    std::string text(2 * IPC_MAX_PACKET_LENGTH + 10, '\0');
    for (std::size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char>(i * 13);
    }
    Hand(text);
    RunAsio();
    ASSERT_EQ(socket.sent.size(), 3u);
    EXPECT_EQ(socket.sent[0], text.substr(0, IPC_MAX_PACKET_LENGTH));
    EXPECT_EQ(socket.sent[1], text.substr(IPC_MAX_PACKET_LENGTH, IPC_MAX_PACKET_LENGTH));
    EXPECT_EQ(socket.sent[2], text.substr(2 * IPC_MAX_PACKET_LENGTH));
}

TEST_F(SendQueueTest, NullAndEmptyBuffersAreSkipped) {
    queue.Hand(nullptr, 5);
    queue.Hand(std::malloc(1), 0);
    Hand("after");
    RunAsio();
    EXPECT_EQ(socket.sent, (std::vector<std::string>{"after"}));
}

// ---- a full socket ----

TEST_F(SendQueueTest, AFullSocketIsWaitedForAndTheBufferResumesWhereItStopped) {
    const std::string text(IPC_MAX_PACKET_LENGTH + 3, 'x');
    socket.script = {error_code(), boost::asio::error::would_block};
    Hand(text);
    Hand("next");
    RunAsio();
    ASSERT_EQ(socket.sent.size(), 1u);
    ASSERT_TRUE(socket.pendingWait);

    // Handed over during the wait: queued behind, not sent past the wait.
    Hand("later");
    RunAsio();
    EXPECT_EQ(socket.sent.size(), 1u);

    socket.FinishWait();
    EXPECT_EQ(socket.sent, (std::vector<std::string>{text.substr(0, IPC_MAX_PACKET_LENGTH), "xxx", "next", "later"}));
    EXPECT_EQ(linkLosses, 0);
}

TEST_F(SendQueueTest, AWaitThatFailsEndsTheLink) {
    socket.script = {boost::asio::error::would_block};
    Hand("stuck");
    RunAsio();
    socket.FinishWait(boost::asio::error::operation_aborted);
    EXPECT_EQ(linkLosses, 1);
    EXPECT_FALSE(queue.IsOpen());
    EXPECT_TRUE(socket.sent.empty());
}

// ---- failed sends ----

TEST_F(SendQueueTest, ABufferTheSocketRefusesIsDroppedAndTheNextGoesOn) {
    socket.script = {SystemError(EMSGSIZE)};
    Hand("refused");
    Hand("taken");
    RunAsio();
    EXPECT_EQ(socket.sent, (std::vector<std::string>{"taken"}));
    EXPECT_EQ(linkLosses, 0);
    EXPECT_TRUE(queue.IsOpen());
}

TEST_F(SendQueueTest, APeerThatHasGoneEndsTheLinkAndNothingMoreIsSent) {
    for (const int lost : {EPIPE, ECONNRESET, ENOTCONN, ECONNREFUSED}) {
        socket.sent.clear();
        queue.Open();
        socket.script = {SystemError(lost)};
        Hand("lost");
        Hand("never");
        RunAsio();
        EXPECT_EQ(linkLosses, 1) << lost;
        EXPECT_TRUE(socket.sent.empty()) << lost;
        linkLosses = 0;
    }
}

// ---- a closed link ----

TEST_F(SendQueueTest, AClosedLinkRefusesBuffersWithoutWakingTheAsioThread) {
    queue.Close();
    EXPECT_EQ(Hand("refused"), EVENT_REFUSED);
    EXPECT_EQ(RunAsio(), 0u);
    EXPECT_TRUE(socket.sent.empty());
}

TEST_F(SendQueueTest, DiscardDropsBothTheQueueAndWhatWasNotYetTaken) {
    socket.script = {boost::asio::error::would_block};
    Hand("queued");
    RunAsio();
    Hand("handed over");
    queue.Close();
    queue.Discard();
    RunAsio();
    socket.FinishWait();
    EXPECT_TRUE(socket.sent.empty());
}

// ---- threads handing over together ----

// Refuses every fifth send for want of room, and notes two sends at once;
// each send takes a while, as a system call does, so that two would meet.
class BusySocket final : public PacketSocket {
public:
    explicit BusySocket(boost::asio::io_context &io) : io(io) {}

    std::size_t Send(const void *data, std::size_t length, error_code &error) override {
        if (inside.fetch_add(1) != 0) {
            overlapped = true;
        }
        error.clear();
        for (volatile int spin = 0; spin < 200; ++spin) {
        }
        if (++sends % 5 == 0) {
            error = boost::asio::error::would_block;
            length = 0;
        } else {
            std::lock_guard<std::mutex> lock(mutex);
            sent.emplace_back(static_cast<const char *>(data), length);
        }
        inside.fetch_sub(1);
        return length;
    }
    // Room comes at once.
    void WaitWritable(WaitHandler done) override {
        boost::asio::post(io, [done = std::move(done)] { done({}); });
    }
    std::size_t SentCount() {
        std::lock_guard<std::mutex> lock(mutex);
        return sent.size();
    }

    boost::asio::io_context &io;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    unsigned sends = 0; // only ever one sender at a time
    std::mutex mutex;
    std::vector<std::string> sent;
};

// Raisers hand over while the asio thread sends and waits for room: each
// buffer goes out once, each raiser's in its order, and no two sends ever
// meet on the socket.
TEST(SendQueueThreads, BuffersOfRaisersAtOnceGoOutOnceEachInEachRaisersOrder) {
    constexpr int RAISERS = 4;
    constexpr int BUFFERS = 5000;
    boost::asio::io_context io;
    auto work = boost::asio::make_work_guard(io);
    BusySocket socket(io);
    SendQueue queue(io, socket, [] { ADD_FAILURE() << "the link was lost"; });
    queue.Open();
    std::thread asio([&] { io.run(); });
    std::vector<std::thread> raisers;
    for (int raiser = 0; raiser < RAISERS; ++raiser) {
        raisers.emplace_back([&, raiser] {
            for (int i = 0; i < BUFFERS; ++i) {
                const std::string text = std::to_string(raiser) + ":" + std::to_string(i);
                ASSERT_EQ(queue.Hand(Copy(text), static_cast<uint32_t>(text.size())), EVENT_OK);
            }
        });
    }
    for (auto &raiser : raisers) {
        raiser.join();
    }
    // The asio thread finishes what was queued; a flag posted behind it says so.
    while (socket.SentCount() < static_cast<std::size_t>(RAISERS * BUFFERS)) {
        std::promise<void> drained;
        boost::asio::post(io, [&] { drained.set_value(); });
        drained.get_future().wait();
        std::this_thread::yield();
    }
    work.reset();
    asio.join();
    queue.Close();

    EXPECT_FALSE(socket.overlapped);
    ASSERT_EQ(socket.sent.size(), static_cast<std::size_t>(RAISERS * BUFFERS));
    std::vector<int> next(RAISERS, 0);
    for (const std::string &text : socket.sent) {
        const int raiser = std::stoi(text.substr(0, text.find(':')));
        ASSERT_EQ(std::stoi(text.substr(text.find(':') + 1)), next[raiser]) << "raiser " << raiser;
        ++next[raiser];
    }
}

} // namespace
