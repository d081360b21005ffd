// The supervisor link's send queue over a fake socket: order, packet-sized
// pieces, waiting for room, dropped and lost sends, and the closed link.
#include "ipc/send_queue.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include <boost/asio/error.hpp>
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

} // namespace
