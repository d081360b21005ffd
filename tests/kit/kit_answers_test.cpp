// The kit's answers to what a plugin raises, and the calls it makes, checked
// with the scriptable test plugin (testplugins/test_plugin.c).
#include <algorithm>
#include <dlfcn.h>
#include <cstring>
#include <stdexcept>
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
constexpr uint32_t COMMAND_PACKET = 100;

dvrtest::Bytes Text(const std::string &text) { return dvrtest::Bytes(text.begin(), text.end()); }

// The supervisor address of a plugin: its ID bits 16-27 in bits 20-31.
uint32_t AddressOf(const PluginUnderTest &plugin) { return ((plugin.Info().ID >> 16) & 0xFFFu) << 20; }

class KitAnswersTest : public kittest::ScratchDirectoryTest {
protected:
    // The variant installed as kit.so: its scripts are the files "kit.<what>".
    std::string Variant(const char *name) { return Install(coretest::TestPluginPath(name), "kit.so"); }

    std::size_t CallsContaining(const std::string &text) const {
        const auto calls = Calls();
        return std::count_if(calls.begin(), calls.end(),
                             [&text](const std::string &line) { return line.find(text) != std::string::npos; });
    }
};

// ---- Ordinary events --------------------------------------------------------

TEST_F(KitAnswersTest, EventsAreCopiedAndAcceptedUntilCloseBeginsTheStop) {
    WriteFile("kit.open", "raise 0x2 0x20 0 25 hello\n"
                          "nulldata 0x2 0x20 16\n"
                          "raise 0x40 0x2 0 0 console only\n");
    WriteFile("kit.unload", "raise 0x2 0x20 0 25 late\n");
    PluginUnderTest plugin(Variant("tp_basic"));
    ASSERT_TRUE(plugin.Load().Ok());
    plugin.Open();
    plugin.Close();
    plugin.Unload();

    const auto events = plugin.Events();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].Data, Text(std::string("hello", 6))); // the NUL of a text with a level
    EXPECT_EQ(events[0].Result, EVENT_OK);
    EXPECT_EQ(events[0].Source, plugin.Info().ID);
    EXPECT_EQ(events[1].DataLength, 16u);
    EXPECT_TRUE(events[1].Data.empty());
    EXPECT_EQ(events[1].Result, EVENT_OK);
    // A console-only line leaves the raiser's Result as the raiser preset it.
    EXPECT_TRUE(events[2].IsLog());
    EXPECT_EQ(events[2].Result, 77);
    EXPECT_EQ(events[3].Text(), "late");
    EXPECT_EQ(events[3].Result, EVENT_REFUSED);
    EXPECT_EQ(CallsContaining("kit result 1"), 1u);
}

// A plugin that calls the entry by name, as the core exports it, finds the
// kit's entry in the test executable.
TEST_F(KitAnswersTest, TheEntryCalledByNameIsTheKits) {
    PluginUnderTest plugin(Variant("tp_basic"));
    ASSERT_TRUE(plugin.Load().Ok());
    const auto byName = reinterpret_cast<EventEntryPoint>(dlsym(RTLD_DEFAULT, "FlatPluginEvent"));
    ASSERT_NE(byName, nullptr) << dlerror();
    char text[] = "by name";
    _EventParmsIn in{};
    in.Size = sizeof in;
    in.Version = 1;
    in.DataLength = sizeof text;
    in.Data = text;
    in.Source = plugin.Info().ID;
    in.EventClass = 0x2;
    in.EventType = 0x20;
    _EventParmsOut out{sizeof out, 1, EVENT_REFUSED};
    byName(&in, &out);
    EXPECT_EQ(out.Result, EVENT_OK);
    const auto events = plugin.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].Text(), "by name");
}

// ---- Jobs -------------------------------------------------------------------

TEST_F(KitAnswersTest, TaggedEventsComeOnlyFromJobThreadsOfUncancelledJobs) {
    // Job class 0x1 type 0x10 is taken by the variant's mask 0.
    WriteFile("kit.open", "raise 0x2 0x20 5\n"
                          "job 0x1 0x10 5 raise 0x2 0x20 5\n");
    PluginUnderTest plugin(Variant("tp_job_a"));
    ASSERT_TRUE(plugin.Load().Ok());
    plugin.Open();
    ASSERT_TRUE(plugin.WaitForJobs(Timeout(20)));

    ASSERT_TRUE(plugin.StartJob(6, 0x1, 0x10, Text("await go\nraise 0x2 0x20 6")));
    plugin.CancelJob(6);
    WriteFile("go", "");
    ASSERT_TRUE(plugin.WaitForJobs(Timeout(20)));
    // A new start of a cancelled tag clears the cancellation.
    ASSERT_TRUE(plugin.StartJob(6, 0x1, 0x10, Text("raise 0x2 0x20 6")));
    ASSERT_TRUE(plugin.WaitForJobs(Timeout(20)));
    EXPECT_FALSE(plugin.StartJob(7, 0x1, 0x20, Text("raise 0x2 0x20 7"))) << "mask 0 does not take type 0x20";
    plugin.Close();
    plugin.Unload();

    std::vector<std::pair<uint32_t, int32_t>> tagged;
    for (const auto &event : plugin.Events(EventKind::Ordinary)) {
        tagged.emplace_back(event.JobTag, event.Result);
    }
    const std::vector<std::pair<uint32_t, int32_t>> expected{
        {5, EVENT_REFUSED}, {5, EVENT_OK}, {6, EVENT_REFUSED}, {6, EVENT_OK}};
    EXPECT_EQ(tagged, expected);
    const auto starts = plugin.Events(EventKind::JobStart);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].JobTag, 5u);
    EXPECT_EQ(starts[0].Data, Text("raise 0x2 0x20 5"));
    EXPECT_EQ(CallsContaining("kit Job tag=5 length=16 null=0"), 1u);
}

// ---- Buffers ------------------------------------------------------------------

TEST_F(KitAnswersTest, ReleasesEndHoldsAndWhatIsStillHeldAtUnloadIsALeak) {
    PluginUnderTest plugin(Variant("tp_job_retain")); // keeps every buffer until "release"
    ASSERT_TRUE(plugin.Load().Ok());
    plugin.Open();
    for (const char *text : {"one", "three", "seven"}) {
        EXPECT_TRUE(plugin.Write(dvrtest::DataEvent(OTHER_PLUGIN, 0x2, 0x20, std::string(text))).Retained);
    }
    EXPECT_TRUE(plugin.UpdateConfig("<kDVR />").Retained);
    EXPECT_EQ(plugin.RetainedBuffers().size(), 4u);

    EXPECT_TRUE(plugin.SendPacket(AddressOf(plugin), COMMAND_PACKET, "release").Ok());
    EXPECT_EQ(CallsContaining("kit release 0"), 4u);
    EXPECT_TRUE(plugin.RetainedBuffers().empty());
    EXPECT_EQ(plugin.UnmatchedReleases(), 0u);

    plugin.Write(dvrtest::DataEvent(OTHER_PLUGIN, 0x2, 0x20, std::string("kept")));
    plugin.Close();
    plugin.Unload();
    const auto leaks = plugin.RetainedBuffers();
    ASSERT_EQ(leaks.size(), 1u);
    EXPECT_EQ(leaks[0].DataLength, 4u);
}

TEST_F(KitAnswersTest, ReleasesOfBuffersThePluginDoesNotHoldFreeNothing) {
    PluginUnderTest plugin(Variant("tp_job_seen")); // takes class 0x2 type 0x20, keeps nothing
    ASSERT_TRUE(plugin.Load().Ok());
    plugin.Open();
    EXPECT_FALSE(plugin.Write(dvrtest::DataEvent(OTHER_PLUGIN, 0x2, 0x20, std::string("x"))).Retained);
    // The released Write buffer, then an address the kit never handed out.
    plugin.SendPacket(AddressOf(plugin), COMMAND_PACKET, "stray");
    EXPECT_EQ(CallsContaining("kit stray 0"), 2u);
    EXPECT_EQ(plugin.UnmatchedReleases(), 2u);
    EXPECT_EQ(plugin.Events(EventKind::Release).size(), 2u);
}

// ---- Supervisor packets -------------------------------------------------------

TEST_F(KitAnswersTest, SendsBecomePacketsAndAreRefusedOnceTheLinkIsClosed) {
    PluginUnderTest plugin(Variant("tp_basic"));
    ASSERT_TRUE(plugin.Load().Ok());
    EXPECT_TRUE(plugin.SendPacket(AddressOf(plugin), COMMAND_PACKET, "send 24").Called);
    EXPECT_FALSE(plugin.SendPacket(AddressOf(plugin), IPC_STOP, "send 24").Called) << "the core's own type";
    EXPECT_FALSE(plugin.SendPacket(AddressOf(plugin) + 0x00100000u, COMMAND_PACKET, "send 24").Called);
    dvrtest::Bytes cut(sizeof(IpcHeader) + 4);
    const IpcHeader longer{static_cast<uint32_t>(cut.size() + 1), AddressOf(plugin), COMMAND_PACKET, 0};
    std::memcpy(cut.data(), &longer, sizeof longer);
    EXPECT_FALSE(plugin.SendPacket(cut).Called) << "not a whole packet";
    plugin.CloseSupervisorLink();
    plugin.SendPacket(AddressOf(plugin), COMMAND_PACKET, "send 24");

    EXPECT_EQ(CallsContaining("kit result 0"), 1u);
    EXPECT_EQ(CallsContaining("kit result 1"), 1u);
    const auto packets = plugin.Packets();
    ASSERT_EQ(packets.size(), 1u);
    ASSERT_EQ(packets[0].Data.size(), 24u);
    for (std::size_t i = 0; i < 24; ++i) {
        EXPECT_EQ(packets[0].Data[i], i);
    }
    EXPECT_EQ(plugin.Events(EventKind::ToSupervisor).size(), 2u);
}

// ---- Delivery -----------------------------------------------------------------

TEST_F(KitAnswersTest, WritesAndDocumentsFollowTheCoresDeliveryRules) {
    PluginUnderTest plugin(Variant("tp_job_seen")); // masks 0: 0x10, 1: 0x20
    ASSERT_TRUE(plugin.Load().Ok());
    plugin.Open();
    EXPECT_TRUE(plugin.Write(dvrtest::DataEvent(OTHER_PLUGIN, 0x2, 0x20, std::string("x"))).Called);
    EXPECT_TRUE(plugin.Write(dvrtest::DataEvent(OTHER_PLUGIN, 0x3, 0x10, dvrtest::Bytes())).Called);
    EXPECT_FALSE(plugin.Write(dvrtest::DataEvent(OTHER_PLUGIN, 0x2, 0x40, std::string("x"))).Called);
    // Type bit 24 is compared as bit 25, which mask 1 lacks.
    EXPECT_FALSE(plugin.Write(dvrtest::DataEvent(OTHER_PLUGIN, 0x2, 0x01000020u, std::string("x"))).Called);
    // A configuration document reaches every plugin but its source, through IOCTL.
    EXPECT_TRUE(plugin.Write(dvrtest::DataEvent(OTHER_PLUGIN, CLASS_CONFIG, 0, std::string("<a/>"))).Called);
    EXPECT_FALSE(plugin.Write(dvrtest::DataEvent(plugin.Info().ID, CLASS_CONFIG, 0, std::string("<a/>"))).Called);

    EXPECT_EQ(CallsContaining("kit Write source=0x00ab0000 tag=0 class=0x2 type=0x20 level=0 length=1 null=0 "
                              "layout=ok data=x"),
              1u);
    EXPECT_EQ(CallsContaining("kit Write source=0x00ab0000 tag=0 class=0x3 type=0x10 level=0 length=0 null=1"), 1u);
    EXPECT_EQ(CallsContaining("kit Config length=4 data=<a/>"), 1u);
    EXPECT_EQ(CallsContaining("kit Write"), 2u);
}

// ---- The kit itself -----------------------------------------------------------

TEST_F(KitAnswersTest, OneKitAtATimeAndMissingLibrariesAreReported) {
    PluginUnderTest plugin(Variant("tp_basic"));
    EXPECT_THROW(PluginUnderTest second(coretest::TestPluginPath("tp_second")), std::logic_error);
    EXPECT_THROW(PluginUnderTest missing((directory / "missing.so").string()), std::runtime_error);
    EXPECT_TRUE(plugin.Load().Ok());
}

} // namespace
