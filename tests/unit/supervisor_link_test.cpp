// The supervisor link over a real socket pair, with a fake handler in the
// core's place: records cut into packets, the identity and the stop obeyed,
// the rest forwarded in order, sends, and the loss of the peer.
#include "ipc/supervisor_link.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/wait_until.h"

namespace {

std::string Packet(uint32_t address, uint32_t type, const std::string &payload = "") {
    const IpcHeader header{static_cast<uint32_t>(sizeof(IpcHeader) + payload.size()), address, type, 0};
    return std::string(reinterpret_cast<const char *>(&header), sizeof header) + payload;
}

// Takes the packets addressed to 0x047xxxxx; the rest reach no plugin.
class FakeCore final : public PacketHandler {
public:
    void RequestStop() override { ++stops; }
    Forwarded Forward(const uint8_t *packet, uint32_t length) override {
        IpcHeader header;
        std::memcpy(&header, packet, sizeof header);
        forwarded.emplace_back(reinterpret_cast<const char *>(packet), length);
        return {(header.Address >> 20) == 0x047u, ""};
    }

    int stops = 0;
    std::vector<std::string> forwarded;
};

class SupervisorLinkTest : public ::testing::Test {
protected:
    SupervisorLinkTest() {
        int pair[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
        coreEnd = pair[0];
        supervisorEnd = pair[1];
    }
    ~SupervisorLinkTest() override {
        if (supervisorEnd >= 0) {
            close(supervisorEnd);
        }
    }

    void Attach() {
        ASSERT_TRUE(link.Attach(coreEnd));
        link.StartReceive();
    }
    void SendRecord(const std::string &bytes) {
        ASSERT_EQ(send(supervisorEnd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    // Runs the asio thread's work here until `done` holds.
    bool RunUntil(const std::function<bool()> &done) {
        return testsupport::WaitUntil(
            [&] {
                io.poll();
                io.restart();
                return done();
            },
            std::chrono::seconds(30), std::chrono::milliseconds(1));
    }

    boost::asio::io_context io;
    FakeCore core;
    SupervisorLink link{io, core, [] { return int64_t{0}; }};
    int coreEnd = -1;
    int supervisorEnd = -1;
};

// ---- attaching ----

TEST_F(SupervisorLinkTest, OnlyAConnectedLocalSequencedPacketSocketIsAttached) {
    int stream[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, stream), 0);
    EXPECT_FALSE(link.Attach(stream[0]));
    close(stream[0]);
    close(stream[1]);
    const int unconnected = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    EXPECT_FALSE(link.Attach(unconnected));
    close(unconnected);
    EXPECT_FALSE(link.IsOpen());

    ASSERT_TRUE(link.Attach(coreEnd));
    EXPECT_TRUE(link.IsOpen());
    EXPECT_NE(fcntl(coreEnd, F_GETFD) & FD_CLOEXEC, 0) << "programs that plugins start would inherit the link";
}

// ---- packets from the supervisor ----

TEST_F(SupervisorLinkTest, EveryPacketOfARecordIsForwardedInOrder) {
    Attach();
    const std::string first = Packet(0x04700000u, 1, "one");
    const std::string second = Packet(0x04700000u, 2, "second packet");
    SendRecord(first + second);
    ASSERT_TRUE(RunUntil([&] { return core.forwarded.size() == 2; }));
    EXPECT_EQ(core.forwarded, (std::vector<std::string>{first, second}));
}

TEST_F(SupervisorLinkTest, APacketSplitOverRecordsIsForwardedOnceComplete) {
    Attach();
    const std::string packet = Packet(0x04700000u, 1, std::string(1000, 'p'));
    const std::string next = Packet(0x04700000u, 3);
    SendRecord(packet.substr(0, 10));
    SendRecord(packet.substr(10, 500));
    SendRecord(packet.substr(510) + next);
    ASSERT_TRUE(RunUntil([&] { return core.forwarded.size() == 2; }));
    EXPECT_EQ(core.forwarded, (std::vector<std::string>{packet, next}));
}

TEST_F(SupervisorLinkTest, ARecordLongerThanAnyPacketIsWholeAndTheLargeOneFitsToo) {
    Attach();
    const std::string large = Packet(0x04700000u, 1, std::string(IPC_MAX_PACKET_LENGTH - sizeof(IpcHeader), 'L'));
    const std::string small = Packet(0x04700000u, 2, "s");
    SendRecord(small + large);
    ASSERT_TRUE(RunUntil([&] { return core.forwarded.size() == 2; }));
    EXPECT_EQ(core.forwarded[1], large);
}

TEST_F(SupervisorLinkTest, ARecordPastTheBuffersRoomCompletesTheBufferedPacketAndArrivesWhole) {
    Attach();
    const std::string begun = Packet(0x04700000u, 1, std::string(1000, 'b'));
    std::string large = Packet(0x04700000u, 2, std::string(IPC_MAX_PACKET_LENGTH - sizeof(IpcHeader), '\0'));
    for (std::size_t i = sizeof(IpcHeader); i < large.size(); ++i) {
        large[i] = static_cast<char>(i * 7);
    }
    const std::string last = Packet(0x04700000u, 3, "last");
    SendRecord(begun.substr(0, 10));
    SendRecord(begun.substr(10) + large + large + last);
    ASSERT_TRUE(RunUntil([&] { return core.forwarded.size() == 4; }));
    EXPECT_EQ(core.forwarded, (std::vector<std::string>{begun, large, large, last}));
}

// Records that long need a send room beyond the default, which only a
// privileged sender may set.
TEST_F(SupervisorLinkTest, ARecordBeyondTheLimitIsDroppedWithThePacketItWouldComplete) {
    constexpr int LIMIT = 16 * IPC_MAX_PACKET_LENGTH;
    const int room = 2 * LIMIT;
    if (setsockopt(supervisorEnd, SOL_SOCKET, SO_SNDBUFFORCE, &room, sizeof room) != 0) {
        GTEST_SKIP() << "cannot enlarge the send room";
    }
    Attach();
    const std::string begun = Packet(0x04700000u, 1, "begun");
    const std::string after = Packet(0x04700000u, 2, "after");
    SendRecord(begun.substr(0, 10));
    SendRecord(std::string(LIMIT + 1, 'x'));
    SendRecord(after);
    ASSERT_TRUE(RunUntil([&] { return !core.forwarded.empty(); }));
    EXPECT_EQ(core.forwarded, (std::vector<std::string>{after}));
    EXPECT_TRUE(link.IsOpen());
}

TEST_F(SupervisorLinkTest, RecordsAlreadyWaitingAreAllTakenAtOneWakeUp) {
    Attach();
    const std::string packets[] = {Packet(0x04700000u, 1), Packet(0x04700000u, 2, "two"), Packet(0x04700000u, 3)};
    for (const std::string &packet : packets) {
        SendRecord(packet);
    }
    EXPECT_EQ(io.run_one(), 1u);
    EXPECT_EQ(core.forwarded, std::vector<std::string>(std::begin(packets), std::end(packets)));
}

TEST_F(SupervisorLinkTest, TheIdentityIsKeptAndTheStopPassedOnNeitherForwarded) {
    Attach();
    SendRecord(Packet(0, IPC_IDENTITY,
                      std::string("korvod\0"
                                  "2.1",
                                  10)));
    SendRecord(Packet(0, IPC_STOP));
    ASSERT_TRUE(RunUntil([&] { return core.stops == 1; }));
    EXPECT_TRUE(core.forwarded.empty());
    EXPECT_EQ(link.Identity().fileName, "korvod");
    EXPECT_EQ(link.Identity().version, "2.1");
    link.WaitForIdentity(std::chrono::hours(1), [] { return false; }); // returns at once
}

TEST_F(SupervisorLinkTest, AnIdentityWithoutVersionKeepsTheVersionHad) {
    Attach();
    SendRecord(Packet(0, IPC_IDENTITY,
                      std::string("korvod\0"
                                  "2.1",
                                  10)));
    SendRecord(Packet(0, IPC_IDENTITY, "renamed"));
    SendRecord(Packet(0, IPC_STOP));
    ASSERT_TRUE(RunUntil([&] { return core.stops == 1; }));
    EXPECT_EQ(link.Identity().fileName, "renamed");
    EXPECT_EQ(link.Identity().version, "2.1");
}

TEST_F(SupervisorLinkTest, ABadLengthDropsTheBufferedBytesAndTheStreamGoesOn) {
    Attach();
    for (const uint32_t bad : {4u, IPC_MAX_PACKET_LENGTH + 1}) {
        const IpcHeader header{bad, 0x04700000u, 1, 0};
        SendRecord(std::string(reinterpret_cast<const char *>(&header), sizeof header) + "rest of it");
    }
    const std::string after = Packet(0x04700000u, 5, "after");
    SendRecord(after);
    ASSERT_TRUE(RunUntil([&] { return !core.forwarded.empty(); }));
    EXPECT_EQ(core.forwarded, (std::vector<std::string>{after}));
}

// ---- packets to the supervisor ----

TEST_F(SupervisorLinkTest, ABufferSentReachesThePeerAsOnePacket) {
    Attach();
    const std::string text = Packet(0x0EC00000u, 1, "to the supervisor");
    void *buffer = std::malloc(text.size());
    std::memcpy(buffer, text.data(), text.size());
    EXPECT_EQ(link.Send(buffer, static_cast<uint32_t>(text.size())), EVENT_OK);
    char received[256];
    ssize_t length = -1;
    ASSERT_TRUE(RunUntil([&] {
        length = recv(supervisorEnd, received, sizeof received, MSG_DONTWAIT);
        return length >= 0;
    }));
    EXPECT_EQ(std::string(received, static_cast<std::size_t>(length)), text);
}

// ---- the loss of the peer ----

TEST_F(SupervisorLinkTest, APeerThatHasGoneClosesTheLinkAndRequestsTheStopOnce) {
    Attach();
    close(supervisorEnd);
    supervisorEnd = -1;
    ASSERT_TRUE(RunUntil([&] { return core.stops == 1; }));
    EXPECT_TRUE(link.WasLost());
    EXPECT_FALSE(link.IsOpen());
    void *refused = std::malloc(16);
    EXPECT_EQ(link.Send(refused, 16), EVENT_REFUSED);
    RunUntil([] { return true; });
    EXPECT_EQ(core.stops, 1);
}

TEST_F(SupervisorLinkTest, AnEmptyRecordIsNoLossOfThePeer) {
    Attach();
    SendRecord("");
    const std::string after = Packet(0x04700000u, 5);
    SendRecord(after);
    ASSERT_TRUE(RunUntil([&] { return !core.forwarded.empty(); }));
    EXPECT_EQ(core.stops, 0);
    EXPECT_TRUE(link.IsOpen());
}

} // namespace
