#include "ipc/packet_stream.h"

#include <algorithm>
#include <array>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

// A packet whose header claims `length`; the body is as long as the claim
// when that is sensible, and is filled with a pattern unique to `tag`.
Bytes Packet(uint32_t length, uint32_t tag) {
    const uint32_t size = length >= sizeof(IpcHeader) && length <= IPC_MAX_PACKET_LENGTH ? length : sizeof(IpcHeader);
    Bytes packet(size);
    const IpcHeader header{length, tag << 20, 3, tag};
    std::memcpy(packet.data(), &header, sizeof header);
    for (uint32_t i = sizeof header; i < size; ++i) {
        packet[i] = static_cast<uint8_t>(i * 7 + tag);
    }
    return packet;
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes joined;
    for (const auto &part : parts) {
        joined.insert(joined.end(), part.begin(), part.end());
    }
    return joined;
}

// The receive buffer as the core keeps it: each Receive appends what one
// receive would have brought, at most the free space, and extracts packets.
class PacketStream : public ::testing::Test {
protected:
    void Receive(const Bytes &bytes) {
        std::size_t offset = 0;
        do {
            const std::size_t count = std::min<std::size_t>(bytes.size() - offset, buffer.size() - used);
            std::copy_n(bytes.begin() + offset, count, buffer.begin() + used);
            offset += count;
            used = ExtractPackets(
                buffer.data(), used + static_cast<uint32_t>(count),
                [this](const uint8_t *packet, uint32_t length) { packets.emplace_back(packet, packet + length); },
                [this] { ++badLengths; });
        } while (offset < bytes.size());
    }

    std::array<uint8_t, IPC_MAX_PACKET_LENGTH> buffer{};
    uint32_t used = 0;
    std::vector<Bytes> packets;
    int badLengths = 0;
};

} // namespace

// ---- Reassembly ----

TEST_F(PacketStream, TwoPacketsInOneReceiveAreHandledInOrder) {
    const Bytes first = Packet(40, 1);
    const Bytes second = Packet(16, 2);
    Receive(Join({first, second}));
    EXPECT_EQ(packets, (std::vector<Bytes>{first, second}));
    EXPECT_EQ(used, 0u);
}

TEST_F(PacketStream, HeaderWithoutItsBodyWaitsUnconsumed) {
    const Bytes packet = Packet(100, 1);
    Receive(Bytes(packet.begin(), packet.begin() + 30));
    EXPECT_TRUE(packets.empty());
    EXPECT_EQ(used, 30u);
    EXPECT_TRUE(std::equal(packet.begin(), packet.begin() + 30, buffer.begin()));
    Receive(Bytes(packet.begin() + 30, packet.end()));
    EXPECT_EQ(packets, std::vector<Bytes>{packet});
}

TEST_F(PacketStream, RemainderMovesToTheStartAfterWholePackets) {
    const Bytes first = Packet(24, 1);
    const Bytes second = Packet(60, 2);
    Receive(Join({first, Bytes(second.begin(), second.begin() + 20)}));
    EXPECT_EQ(packets, std::vector<Bytes>{first});
    EXPECT_EQ(used, 20u);
    EXPECT_TRUE(std::equal(second.begin(), second.begin() + 20, buffer.begin()));
}

TEST_F(PacketStream, StreamCutAnywhereGivesTheSamePackets) {
    const std::vector<Bytes> expected = {Packet(16, 1),
                                         Packet(17, 2),
                                         Packet(IPC_MAX_PACKET_LENGTH, 3),
                                         Packet(1000, 4),
                                         Packet(IPC_MAX_PACKET_LENGTH - 1, 5),
                                         Packet(33, 6)};
    Bytes stream;
    for (const auto &packet : expected) {
        stream.insert(stream.end(), packet.begin(), packet.end());
    }

    Receive(stream);
    EXPECT_EQ(packets, expected) << "whole";

    std::mt19937 random(8);
    for (int round = 0; round < 50; ++round) {
        packets.clear();
        std::size_t offset = 0;
        while (offset < stream.size()) {
            const std::size_t piece = std::min<std::size_t>(stream.size() - offset, 1 + random() % 70000);
            Receive(Bytes(stream.begin() + offset, stream.begin() + offset + piece));
            offset += piece;
        }
        ASSERT_EQ(packets, expected) << "round " << round;
        ASSERT_EQ(used, 0u);
    }
    ASSERT_EQ(badLengths, 0);
}

TEST_F(PacketStream, ByteByByteGivesTheSamePackets) {
    const std::vector<Bytes> expected = {Packet(16, 1), Packet(50, 2), Packet(19, 3)};
    for (const auto &packet : expected) {
        for (const uint8_t byte : packet) {
            Receive(Bytes{byte});
        }
    }
    EXPECT_EQ(packets, expected);
}

// ---- Bad lengths ----

TEST_F(PacketStream, LengthAboveTheLimitDropsEveryBufferedByte) {
    Receive(Join({Packet(70000, 1), Packet(20, 2)}));
    EXPECT_EQ(badLengths, 1);
    EXPECT_EQ(used, 0u);
    EXPECT_TRUE(packets.empty());
}

TEST_F(PacketStream, LengthAboveTheLimitIsRejectedAsSoonAsTheHeaderIsIn) {
    const Bytes header = Packet(70000, 1);
    Receive(Bytes(header.begin(), header.begin() + 15));
    EXPECT_EQ(badLengths, 0);
    Receive(Bytes(header.begin() + 15, header.end()));
    EXPECT_EQ(badLengths, 1);
    EXPECT_EQ(used, 0u);
}

TEST_F(PacketStream, PacketsBeforeABadLengthAreStillHandled) {
    const Bytes good = Packet(30, 1);
    Receive(Join({good, Packet(65537, 2)}));
    EXPECT_EQ(packets, std::vector<Bytes>{good});
    EXPECT_EQ(badLengths, 1);
    EXPECT_EQ(used, 0u);
}

TEST_F(PacketStream, EveryLengthShorterThanTheHeaderIsRejectedWithoutStalling) {
    for (uint32_t length = 0; length < sizeof(IpcHeader); ++length) {
        packets.clear();
        badLengths = 0;
        Receive(Join({Packet(length, 1), Packet(20, 2)}));
        EXPECT_EQ(badLengths, 1) << length;
        EXPECT_EQ(used, 0u) << length;
        EXPECT_TRUE(packets.empty()) << length;
    }
}

TEST_F(PacketStream, NextReceiveAfterABadLengthStartsAFreshPacket) {
    const Bytes good = Packet(40, 2);
    Receive(Packet(3, 1));
    Receive(good);
    EXPECT_EQ(badLengths, 1);
    EXPECT_EQ(packets, std::vector<Bytes>{good});
}

// ---- Addressing ----

TEST(AddressesPlugin, AddressBits20To31MatchIdBits16To27) {
    for (const uint32_t id : {0x00470000u, 0x00471234u, 0x10470000u, 0xF047FFFFu}) {
        EXPECT_TRUE(AddressesPlugin(0x04700000u, id)) << std::hex << id;
        EXPECT_TRUE(AddressesPlugin(0x047FFFFFu, id)) << std::hex << id;
    }
    EXPECT_FALSE(AddressesPlugin(0x04700000u, 0x00480000u));
    EXPECT_FALSE(AddressesPlugin(0x04700000u, 0x04700000u));
    EXPECT_FALSE(AddressesPlugin(0x04800000u, 0x00470000u));
    EXPECT_TRUE(AddressesPlugin(0xFFF00000u, 0x0FFF0000u));
    EXPECT_TRUE(AddressesPlugin(0x00000000u, 0x8000FFFFu));
}
