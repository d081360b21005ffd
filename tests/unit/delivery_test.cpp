// One event's hand-out over a hand-built plugin list: who gets it and in
// which order, and who holds its buffer before, during and after the calls.
#include "event/delivery.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "plugin_call_records.h"

namespace {

constexpr uint32_t SOURCE = 0x00990000u;

// What the plugins were called with, in order, and the holder table they
// may look at during their calls.
std::vector<std::string> calls;
BufferHolderTable *table = nullptr;
// Whether each plugin gives its hold back inside its call.
bool releaseDuringCall = false;
// The plugin whose call runs long: the watch reports it during the call.
int slowPlugin = 0;
CallSlot *watchedSlot = nullptr;
int64_t clockNs = 0;
int64_t FakeClock() { return clockNs; }

uint32_t IdOf(int plugin) { return 0x00010000u * static_cast<uint32_t>(plugin); }

void NoteCall(int plugin, const std::string &what, void *data) {
    calls.push_back(std::to_string(plugin) + " " + what);
    if (plugin == slowPlugin) {
        // The watch sees the call, then looks again once it has run long.
        watchedSlot->Check(clockNs, [](const WatchedCallReport &) {});
        clockNs += 2 * CallSlot::CALL_LIMIT_MS * 1000000;
        watchedSlot->Check(clockNs, [](const WatchedCallReport &) {});
    }
    if (releaseDuringCall) {
        const auto outcome = table->ReleaseHold(data, IdOf(plugin));
        calls.push_back(std::string(outcome.removedHold ? "held" : "not held") +
                        (outcome.noHolderLeft ? ", last" : ", others hold"));
    }
}

template <int Plugin, bool Keep>
int32_t WriteAs(_WriteParmsIn *in, _WriteParmsOut *out) {
    NoteCall(Plugin, "write class " + std::to_string(in->EventClass), in->Data);
    out->Retained = Keep ? 1 : 0;
    return 0;
}

template <int Plugin, bool Keep>
int32_t IoctlAs(_IoctlParmsIn *in, _IoctlParmsOut *out) {
    NoteCall(Plugin, "ioctl code " + std::to_string(in->Code), in->DataBlock.Data);
    out->Retained = Keep ? 1 : 0;
    return 0;
}

// The table's leak lines at its end: none are expected.
int32_t NoLeakEntry(_EventParmsIn *, _EventParmsOut *) {
    ADD_FAILURE() << "a buffer was left held";
    return 0;
}

class DeliveryTest : public ::testing::Test {
protected:
    DeliveryTest() {
        calls.clear();
        table = &holders;
        releaseDuringCall = false;
        slowPlugin = 0;
        watchedSlot = &call;
    }

    // A plugin taking class 0x1 (mask 0) and 0x2 (mask 1) events of the given types.
    template <int Plugin, bool Keep = false>
    PLUGININFO &Add(uint32_t mask0 = 0xFFFFFFFFu, uint32_t mask1 = 0) {
        PLUGININFO plugin;
        plugin.Info.ID = IdOf(Plugin);
        plugin.Info.WriteEvents = 1;
        plugin.Info.EventMasks[0] = mask0;
        plugin.Info.EventMasks[1] = mask1;
        plugin.Write = WriteAs<Plugin, Keep>;
        plugin.IOCTL = IoctlAs<Plugin, Keep>;
        plugin.Name = "p" + std::to_string(Plugin) + ".so";
        plugins.push_back(std::move(plugin));
        return plugins.back();
    }
    bool Deliver(uint32_t eventClass, uint32_t eventType, uint32_t source = SOURCE) {
        return delivery.Deliver(EventRecord(source, eventClass, eventType, DATA_LENGTH, data));
    }
    BufferHolderTable::Outcome Release(int plugin) { return holders.ReleaseHold(data, IdOf(plugin)); }

    std::vector<PLUGININFO> plugins;
    BufferHolderTable holders{NoLeakEntry};
    // The event's data, a copy the table made, as the core's always are.
    static constexpr char DATA[16] = "event data";
    static constexpr uint32_t DATA_LENGTH = sizeof DATA;
    void *data = holders.Copy(DATA, DATA_LENGTH);
    CallSlot call{FakeClock};
    std::vector<WatchedCallReport> longCalls;
    Delivery delivery{plugins, holders, call, [this](const WatchedCallReport &report) { longCalls.push_back(report); }};
};

// ---- who gets the event, in which order ----

TEST_F(DeliveryTest, EveryMatchingPluginGetsAWriteInListOrder) {
    Add<3>();
    Add<1>();
    Add<2>();
    Deliver(0x1, 0x10);
    EXPECT_EQ(calls, (std::vector<std::string>{"3 write class 1", "1 write class 1", "2 write class 1"}));
}

TEST_F(DeliveryTest, TheClassPicksTheMaskThatMustCoverTheType) {
    Add<1>(0xFFFFFFFFu, 0); // class 0x1 only
    Add<2>(0, 0x30);        // class 0x2, types within 0x30
    Add<3>(0x10, 0x10);     // type 0x10 of either
    Deliver(0x2, 0x20);
    Deliver(0x2, 0x10);
    Deliver(0x1, 0x20);
    EXPECT_EQ(calls,
              (std::vector<std::string>{"2 write class 2", "2 write class 2", "3 write class 2", "1 write class 1"}));
}

TEST_F(DeliveryTest, APluginThatTakesNoWritesIsPassedOver) {
    Add<1>().Info.WriteEvents = 0;
    Add<2>().Write = nullptr;
    Add<3>();
    EXPECT_TRUE(Deliver(0x1, 0x10));
    EXPECT_EQ(calls, (std::vector<std::string>{"3 write class 1"}));
}

TEST_F(DeliveryTest, AConfigurationGoesToEveryOtherPluginThroughIoctlAndToItsSourceByMask) {
    Add<1>(0, 0);
    Add<2>().Info.ID = SOURCE; // the raiser, whose masks take the document
    Add<3>(0, 0).IOCTL = nullptr;
    Add<4>(0, 0);
    Deliver(CLASS_CONFIG | 0x1, TYPE_DOCUMENT);
    const std::string config = "ioctl code " + std::to_string(UPDATE_CONFIG);
    EXPECT_EQ(calls, (std::vector<std::string>{"1 " + config, "2 write class " + std::to_string(CLASS_CONFIG | 0x1),
                                               "4 " + config}));
}

// ---- who holds the buffer ----

TEST_F(DeliveryTest, ABufferNobodyKeepsIsTheCallersAndLeavesNoHolder) {
    Add<1>();
    Add<2>();
    EXPECT_TRUE(Deliver(0x1, 0x10));
    EXPECT_FALSE(Release(1).removedHold);
    EXPECT_FALSE(Release(2).removedHold);
}

TEST_F(DeliveryTest, AnEventNobodyTakesTouchesNoHolder) {
    Add<1>(0, 0);
    EXPECT_TRUE(Deliver(0x1, 0x10));
    EXPECT_FALSE(holders.ReleaseHold(data, CORE_SOURCE).removedHold);
}

TEST_F(DeliveryTest, EveryPluginThatKeepsTheBufferHoldsItUntilItsRelease) {
    Add<1, true>();
    Add<2>();
    Add<3, true>(0, 0).Info.ID = SOURCE;
    Add<4, true>(0, 0);
    EXPECT_FALSE(Deliver(CLASS_CONFIG | 0x1, TYPE_DOCUMENT));
    EXPECT_FALSE(Release(2).removedHold);
    const auto first = Release(1);
    EXPECT_TRUE(first.removedHold);
    EXPECT_FALSE(first.noHolderLeft);
    const auto last = Release(4);
    EXPECT_TRUE(last.removedHold);
    EXPECT_TRUE(last.noHolderLeft);
}

TEST_F(DeliveryTest, AReceiverHoldsTheBufferDuringItsCallAndTheCoreUntilTheEnd) {
    Add<1, true>();
    Add<2, true>(0, 0);
    releaseDuringCall = true;
    // Each plugin finds its own hold inside its call, with the core's beside
    // it: the buffer stays valid until the delivery ends. The first plugin
    // raised the document, so its masks give it a Write.
    EXPECT_TRUE(Deliver(CLASS_CONFIG | 0x1, TYPE_DOCUMENT, IdOf(1)));
    EXPECT_EQ(calls,
              (std::vector<std::string>{"1 write class " + std::to_string(CLASS_CONFIG | 0x1), "held, others hold",
                                        "2 ioctl code " + std::to_string(UPDATE_CONFIG), "held, others hold"}));
}

// ---- the call watch ----

TEST_F(DeliveryTest, OnlyACallReportedAsLongIsToldWhenItEnds) {
    Add<1>();
    Add<2>();
    Add<3>();
    slowPlugin = 2;
    Deliver(0x1, 0x10);
    ASSERT_EQ(longCalls.size(), 1u);
    EXPECT_EQ(longCalls[0].plugin, IdOf(2));
    EXPECT_EQ(longCalls[0].call, WatchedCall::Write);
    EXPECT_EQ(longCalls[0].first, 0x1u);
    EXPECT_EQ(longCalls[0].second, 0x10u);
}

} // namespace
