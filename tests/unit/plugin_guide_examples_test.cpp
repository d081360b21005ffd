// The worked examples of docs/plugin-guide.md, checked against the core's own
// functions. Each case is named after the example it checks; when a case
// fails, the guide or the core has changed and the two must agree again.
#include "event/event_matching.h"
#include "ipc/packet_stream.h"

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct Masks {
    uint32_t values[EVENT_MASK_COUNT] = {};
};

Masks OneMask(int index, uint32_t mask) {
    Masks masks;
    masks.values[index] = mask;
    return masks;
}

struct TypeValues {
    uint32_t type;
    uint32_t delivery;
    uint32_t job;
};

void ExpectValues(const TypeValues &example) {
    EXPECT_EQ(DeliveryValue(example.type), example.delivery) << std::hex << "type 0x" << example.type;
    EXPECT_EQ(JobValue(example.type), example.job) << std::hex << "type 0x" << example.type;
}

// What the packet cutter makes of one header claiming `length`, with the
// whole claimed packet (or just the header) in the buffer.
struct CutOutcome {
    std::vector<uint32_t> packetLengths;
    bool badLength = false;
    uint32_t bytesLeft = 0;
};

CutOutcome CutOnePacket(uint32_t length) {
    const uint32_t size = length >= sizeof(IpcHeader) && length <= IPC_MAX_PACKET_LENGTH ? length : sizeof(IpcHeader);
    std::vector<uint8_t> buffer(size);
    const IpcHeader header{length, 0x04700000u, 3, 0};
    std::memcpy(buffer.data(), &header, sizeof header);
    CutOutcome outcome;
    outcome.bytesLeft = ExtractPackets(
        buffer.data(), size, [&](const uint8_t *, uint32_t cut) { outcome.packetLengths.push_back(cut); },
        [&] { outcome.badLength = true; });
    return outcome;
}

} // namespace

TEST(PluginGuideExamples, D1PluginLogLine) { ExpectValues({0x00000002u, 0x00000002u, 0x00000002u}); }

TEST(PluginGuideExamples, D2CoreLogLine) { ExpectValues({0x01000002u, 0x02000002u, 0x00800002u}); }

TEST(PluginGuideExamples, D3CoreDocument) { ExpectValues({0x01000010u, 0x02000010u, 0x00800010u}); }

TEST(PluginGuideExamples, D4Bit31) { ExpectValues({0x80000000u, 0x00000000u, 0x40000000u}); }

TEST(PluginGuideExamples, D5Bit24WithBit23Clear) { ExpectValues({0x01000000u, 0x02000000u, 0x00800000u}); }

TEST(PluginGuideExamples, D6Bits24And23) { ExpectValues({0x01800000u, 0x02800000u, 0x00800000u}); }

TEST(PluginGuideExamples, D7Bit23Alone) { ExpectValues({0x00800000u, 0x00800000u, 0x00800000u}); }

TEST(PluginGuideExamples, M1LogMaskNeedsTheDeliveryValue) {
    const Masks deliveryMask = OneMask(6, 0x02000002u);
    const Masks typeMask = OneMask(6, 0x01000002u);
    EXPECT_TRUE(MatchesMasks(CLASS_LOG, deliveryMask.values, DeliveryValue(0x01000002u)));
    EXPECT_FALSE(MatchesMasks(CLASS_LOG, typeMask.values, DeliveryValue(0x01000002u)));
    // A plugin's own log lines match both masks.
    EXPECT_TRUE(MatchesMasks(CLASS_LOG, deliveryMask.values, DeliveryValue(TYPE_LOG_TEXT)));
    EXPECT_TRUE(MatchesMasks(CLASS_LOG, typeMask.values, DeliveryValue(TYPE_LOG_TEXT)));
}

TEST(PluginGuideExamples, M2StatusDocumentMask) {
    const Masks masks = OneMask(2, 0x02000010u);
    EXPECT_EQ(CLASS_STATUS, 0x04u);
    EXPECT_TRUE(MatchesMasks(CLASS_STATUS, masks.values, DeliveryValue(0x01000010u)));
}

TEST(PluginGuideExamples, M3Bit31ReachesEvenAZeroMask) {
    const Masks none;
    EXPECT_TRUE(MatchesMasks(0x01u, none.values, DeliveryValue(0x80000000u)));
}

TEST(PluginGuideExamples, M4OneSelectedMaskMustCoverEveryBit) {
    Masks masks;
    masks.values[0] = 0x1u;
    masks.values[1] = 0x2u;
    EXPECT_TRUE(MatchesMasks(0x03u, masks.values, DeliveryValue(0x2u)));
    EXPECT_FALSE(MatchesMasks(0x03u, masks.values, DeliveryValue(0x3u)));
}

TEST(PluginGuideExamples, M5Class400SelectsMaskEightOnly) {
    Masks masks = OneMask(8, 0x4u);
    EXPECT_EQ(CLASS_MASK8, 0x400u);
    EXPECT_TRUE(MatchesMasks(0x400u, masks.values, DeliveryValue(0x4u)));
    EXPECT_FALSE(MatchesMasks(0x400u, masks.values, DeliveryValue(0x6u)));
    // Only mask 8: the same bits in mask 0 do not help.
    masks.values[8] = 0;
    masks.values[0] = 0x4u;
    EXPECT_FALSE(MatchesMasks(0x400u, masks.values, DeliveryValue(0x4u)));
}

TEST(PluginGuideExamples, M6Class201IsOrdinaryAndSelectsMaskZero) {
    EXPECT_NE(0x201u, CLASS_RELEASE);
    const Masks masks = OneMask(0, 0x10u);
    EXPECT_TRUE(MatchesMasks(0x201u, masks.values, DeliveryValue(0x10u)));
}

TEST(PluginGuideExamples, J1JobMaskNeedsTheJobValue) {
    const uint32_t value = JobValue(0x01000010u);
    EXPECT_TRUE(MatchesMasks(0x01u, OneMask(0, 0x00800010u).values, value));
    EXPECT_FALSE(MatchesMasks(0x01u, OneMask(0, 0x02000010u).values, value));
    EXPECT_FALSE(MatchesMasks(0x01u, OneMask(0, 0x01000010u).values, value));
}

TEST(PluginGuideExamples, M7ClassWithoutMaskBitsMatchesNoMask) {
    Masks all;
    for (uint32_t &mask : all.values) {
        mask = 0xFFFFFFFFu;
    }
    EXPECT_FALSE(MatchesMasks(CLASS_CONFIG, all.values, 0u));
}

TEST(PluginGuideExamples, A1AddressBits20To31AgainstIdBits16To27) {
    for (const uint32_t id : {0x00470000u, 0x00471234u, 0x10470000u}) {
        EXPECT_TRUE(AddressesPlugin(0x04700000u, id)) << std::hex << "ID 0x" << id;
    }
    EXPECT_FALSE(AddressesPlugin(0x04700000u, 0x00480000u));
}

TEST(PluginGuideExamples, A2AddressLowBitsPlayNoPart) { EXPECT_TRUE(AddressesPlugin(0x047FFFFFu, 0x00470000u)); }

TEST(PluginGuideExamples, A3EchoResponderAddress) { EXPECT_TRUE(AddressesPlugin(0x0EC00000u, 0x00EC0000u)); }

TEST(PluginGuideExamples, P1PacketLengthLimits) {
    EXPECT_EQ(IPC_MAX_PACKET_LENGTH, 65536u);
    for (const uint32_t bad : {70000u, 8u}) {
        const CutOutcome outcome = CutOnePacket(bad);
        EXPECT_TRUE(outcome.badLength) << bad;
        EXPECT_TRUE(outcome.packetLengths.empty()) << bad;
        EXPECT_EQ(outcome.bytesLeft, 0u) << bad;
    }
    const CutOutcome largest = CutOnePacket(65536u);
    EXPECT_FALSE(largest.badLength);
    EXPECT_EQ(largest.packetLengths, std::vector<uint32_t>{65536u});
}
