// Records on the supervisor link as the core receives them: each record is
// taken whole however large, every packet in it is handled in order, and a
// peer may still split its packets across records anywhere.
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include <sys/socket.h>

#include <gtest/gtest.h>

#include "include/dvrplugin.h"
#include "tests/support/core_harness.h"
#include "tests/support/plugin_test_fixture.h"
#include "tests/support/supervisor_packets.h"

using namespace coretest;

namespace {

const char *const DISCONNECTED = "korvod ipc pipe disconnected";
const char *const BAD_LENGTH = "bad ipc packet length";
const Variant LINK_FIRST{"tp_link_first", 0x10471234u};
const uint32_t LINK_ADDRESS = AddressOf(LINK_FIRST);
// The longest record the core takes; longer ones are dropped unread.
constexpr std::size_t MAX_RECORD = 16 * IPC_MAX_PACKET_LENGTH;

// A packet of `length` bytes in all that the plugin sends back unchanged: its
// payload is the command "echo" and filler lines that are no command.
std::string EchoedPacket(uint32_t type, std::size_t length, char filler) {
    const std::string command = "echo\n";
    return Packet(LINK_ADDRESS, type, command + std::string(length - sizeof(IpcHeader) - command.size(), filler));
}

// A packet of `length` bytes that the plugin only records.
std::string QuietPacket(uint32_t type, std::size_t length) {
    return Packet(LINK_ADDRESS, type, std::string(length - sizeof(IpcHeader), '-'));
}

std::string PacketCall(std::size_t length, uint32_t type) {
    char line[96];
    std::snprintf(line, sizeof line, "a_first Packet length=%zu address=0x%08x type=%u", length, LINK_ADDRESS, type);
    return line;
}

class SupervisorRecords : public RunningCoreTest {
protected:
    void SetUp() override {
        Install(LINK_FIRST, "a_first");
        Start();
    }

    // Sends the records, then expects the plugin to have been handed exactly
    // these packets (length, type) in order, and the echoed ones back whole.
    void ExpectDelivered(const std::vector<std::string> &records,
                         const std::vector<std::pair<std::size_t, uint32_t>> &packets,
                         const std::vector<std::string> &echoed = {}) {
        for (const auto &record : records) {
            ASSERT_NO_FATAL_FAILURE(SendRecord(*core, record));
        }
        std::vector<std::string> expected;
        for (const auto &[length, type] : packets) {
            expected.push_back(PacketCall(length, type));
        }
        EXPECT_EQ(WaitForCalls(installation, "Packet", expected.size(), Scaled(20)), expected);
        for (const auto &packet : echoed) {
            const auto answer = core->ReceivePacket(Scaled(10));
            ASSERT_TRUE(answer) << packet.size();
            EXPECT_TRUE(*answer == packet) << answer->size() << " bytes back for " << packet.size();
        }
    }
};

} // namespace

// ---- Records larger than one packet ----

TEST_F(SupervisorRecords, TwoPacketsOf40000BytesInOneRecordThenRecordsOfMixedSizes) {
    const std::vector<std::string> packets = {EchoedPacket(50, 40000, 'a'), EchoedPacket(51, 40000, 'b'),
                                              EchoedPacket(52, 100, 'c'),   EchoedPacket(53, 20000, 'd'),
                                              EchoedPacket(54, 30000, 'e'), EchoedPacket(55, 50, 'f')};
    ExpectDelivered({packets[0] + packets[1], packets[2], packets[3], packets[4], packets[5]},
                    {{40000, 50}, {40000, 51}, {100, 52}, {20000, 53}, {30000, 54}, {50, 55}}, packets);
    StopAndExpectCleanExit();
}

TEST_F(SupervisorRecords, LargestPacketAndASmallOneInOneRecord) {
    const std::string largest = EchoedPacket(60, IPC_MAX_PACKET_LENGTH, 'g');
    const std::string small = EchoedPacket(61, 27, 'h');
    ExpectDelivered({largest + small}, {{IPC_MAX_PACKET_LENGTH, 60}, {27, 61}}, {largest, small});
    StopAndExpectCleanExit();
}

// The stop packet rides behind the second half of a split packet.
TEST_F(SupervisorRecords, StopBehindTheRestOfASplitPacketStopsTheCore) {
    const std::string split = QuietPacket(71, IPC_MAX_PACKET_LENGTH);
    ExpectDelivered({QuietPacket(70, 100) + split.substr(0, 50), split.substr(50) + Packet(0, IPC_STOP, "")},
                    {{100, 70}, {IPC_MAX_PACKET_LENGTH, 71}});
    EXPECT_EQ(core->WaitForExit(Scaled(20)), 0);
}

TEST_F(SupervisorRecords, SevenHundredPacketsInOneRecordAllArriveInOrderBeforeTheStops) {
    std::string record;
    std::vector<std::pair<std::size_t, uint32_t>> expected;
    for (uint32_t i = 0; i < 700; ++i) {
        record += QuietPacket(1000 + i, 100);
        expected.emplace_back(100, 1000 + i);
    }
    ASSERT_EQ(record.size(), 70000u);
    ExpectDelivered({record, Packet(0, IPC_STOP, ""), Packet(0, IPC_STOP, "")}, expected);
    EXPECT_EQ(core->WaitForExit(Scaled(20)), 0);
}

// ---- Records that wait ----

// The plugin holds the core's receive for half a second while seventy more
// records arrive, more than the core takes at one wake-up: they are all
// handled, though no further record comes to wake it.
TEST_F(SupervisorRecords, RecordsWaitingBeyondOneWakeUpAreAllTakenWithoutAnotherArrival) {
    std::vector<std::string> records{Packet(LINK_ADDRESS, 95, "sleep 500\n")};
    std::vector<std::pair<std::size_t, uint32_t>> expected{{sizeof(IpcHeader) + 10, 95}};
    for (uint32_t i = 0; i < 70; ++i) {
        records.push_back(QuietPacket(2000 + i, 40));
        expected.emplace_back(40, 2000 + i);
    }
    ExpectDelivered(records, expected);
    StopAndExpectCleanExit();
}

// ---- Records that are no packets ----

TEST_F(SupervisorRecords, RecordAboveTheLimitIsDroppedWholeAndTheNextIsRead) {
    // Beyond the usual limit of a socket's send room: forced where allowed.
    const int socket = core->SupervisorSocket();
    int size = 2 * MAX_RECORD;
    if (setsockopt(socket, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0) {
        setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
    socklen_t length = sizeof size;
    ASSERT_EQ(getsockopt(socket, SOL_SOCKET, SO_SNDBUF, &size, &length), 0);
    if (static_cast<std::size_t>(size) < MAX_RECORD + 4096) {
        GTEST_SKIP() << "this system lets the test send records of at most " << size << " bytes";
    }
    // The over-long record begins like a sound packet, and one was begun before it.
    const std::string begun = QuietPacket(80, 1000).substr(0, 500);
    std::string overLong = QuietPacket(81, 100);
    overLong += std::string(MAX_RECORD + 1 - overLong.size(), '-');
    ExpectDelivered({QuietPacket(79, 20) + begun, overLong, QuietPacket(82, 30)}, {{20, 79}, {30, 82}});
    EXPECT_TRUE(WaitForConsoleCount(*core, BAD_LENGTH, 1, Scaled(10)));
    StopAndExpectCleanExit();
    EXPECT_EQ(Count(core->Console(), BAD_LENGTH), 1u);
}

TEST_F(SupervisorRecords, EmptyRecordIsIgnoredAndOnlyTheClosedPeerIsALostLink) {
    ExpectDelivered({"", QuietPacket(90, 16), "", ""}, {{16, 90}});
    EXPECT_EQ(core->Console().find(DISCONNECTED), std::string::npos);
    core->CloseSupervisor();
    EXPECT_TRUE(core->WaitForConsole(DISCONNECTED, Scaled(10)));
}
