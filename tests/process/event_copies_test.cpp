// The core's copies of event data as plugins meet them: a retained copy
// outlives the core for the library that is never closed, the memory of
// released copies goes back to the system (and with it the throttling
// ends), a delivered copy handed to the supervisor is sent and not freed,
// and a plugin that reads past a copy is caught by AddressSanitizer.
#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/core_harness.h"
#include "tests/support/plugin_test_fixture.h"

using namespace coretest;

namespace {

// Keeps the core's log lines; its destructor reads them and hands one to
// the supervisor after the core is gone.
const Variant KEPT_READER{"tp_kept_reader", 0x00470000u};
// Keeps every class 0x2 event, its own bulk events too, and only counts them.
const Variant COPY_KEEPER{"tp_copy_keeper", 0x00C60000u};
// Keeps every class 0x1 event and records each.
const Variant KEEPER{"tp_bus_keep_a", 0x00C30000u};
const Variant READ_PAST{"tp_read_past", 0x00C70000u};

const char *const LOW_LINE = "available system memory is low, throttling video";
const char *const OK_LINE = "available system memory ok, not throttling video";

class EventCopies : public RunningCoreTest {
protected:
    // Raises `events` class 0x2 events of `length` bytes from the copy
    // keeper, which keeps them all, and waits until it has them.
    void KeepBulk(long events, long length, long pauseUs) {
        const std::string count = std::to_string(events);
        Command(COPY_KEEPER, "keeper",
                "bulk " + count + " 0x2 0x20 " + std::to_string(length) + " " + std::to_string(pauseUs) + "\n",
                "bulk accepted=" + count);
        const bool kept = WaitUntil(
            [&] {
                core->SendPacket(COMMAND_PACKET, AddressOf(COPY_KEEPER), "summary\n");
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                return !CallsOf(installation, "keeper", "summary count=" + count + " ").empty();
            },
            Scaled(60));
        ASSERT_TRUE(kept) << "the keeper did not get all " << count << " events";
    }
};

} // namespace

// ---- Copies that outlive the core ----

// The library of ID 0x00470000 stays mapped: from its destructor, when the
// process ends, it reads every log line it kept and hands one to the
// supervisor, which is gone. The core exits cleanly all the same.
TEST_F(EventCopies, CopiesStillHeldWhenTheCoreEndsStayReadableForTheLibraryThatStaysMapped) {
    Install(KEPT_READER, "reader");
    Start();
    ASSERT_TRUE(WaitForCalls(installation, "reader", "Write source=0x80000000", 1, Scaled(10)));
    core->SendStop();
    EXPECT_EQ(core->WaitForExit(Scaled(30)), 0);

    const auto read = CallsOf(installation, "reader", "late read");
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].find("late read 0 "), std::string::npos) << read[0];
    EXPECT_EQ(CallsOf(installation, "reader", "late send result"),
              std::vector<std::string>{"reader late send result 1"});
    EXPECT_NE(core->Console().find("leaked by plugin 00470000"), std::string::npos) << core->Console();
}

// ---- Memory given back ----

// Many copies kept at a pace that builds no backlog, then all given back:
// the core's resident size comes back near where it started.
TEST_F(EventCopies, MemoryOfReleasedCopiesGoesBackToTheSystem) {
    if (SANITIZED_ALLOCATOR) {
        GTEST_SKIP() << "the sanitizer's allocator keeps freed memory";
    }
    Install(COPY_KEEPER, "keeper");
    Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long before = ResidentKib(core->Pid());
    ASSERT_GT(before, 0);
    ASSERT_NO_FATAL_FAILURE(KeepBulk(20000, 4000, 20));
    const long peak = ResidentKib(core->Pid());
    EXPECT_GT(peak - before, 60000) << "the kept copies should be resident";

    core->SendPacket(COMMAND_PACKET, AddressOf(COPY_KEEPER), "release\n");
    const long bound = before + std::max(8192L, (peak - before) / 8);
    long after = peak;
    WaitUntil([&] { return (after = ResidentKib(core->Pid())) <= bound; }, Scaled(30));
    EXPECT_LE(after, bound) << "resident KiB before " << before << ", peak " << peak;
    RecordProperty("resident_kib_before", std::to_string(before));
    RecordProperty("resident_kib_peak", std::to_string(peak));
    RecordProperty("resident_kib_after", std::to_string(after));
    ASSERT_TRUE(WaitForCalls(installation, "keeper", "release 0", 20000, Scaled(30)));
    StopAndExpectCleanExit();
}

// Kept copies take the core over its memory limit; once they are given back
// the readings are low no more, and the core announces the end of the
// throttling a minute after the last low one.
TEST_F(EventCopies, ThrottlingCausedByKeptCopiesEndsOnceTheyAreGivenBack) {
    if (SANITIZED_ALLOCATOR) {
        GTEST_SKIP() << "the sanitizer's allocator keeps freed memory";
    }
    Install(COPY_KEEPER, "keeper");
    Start();
    ASSERT_NO_FATAL_FAILURE(KeepBulk(50000, 4000, 0));
    ASSERT_TRUE(core->WaitForConsole(LOW_LINE, Scaled(20)));
    core->SendPacket(COMMAND_PACKET, AddressOf(COPY_KEEPER), "release\n");
    EXPECT_TRUE(core->WaitForConsole(OK_LINE, Scaled(60) + std::chrono::seconds(60))) << core->Console();
    StopAndExpectCleanExit();
}

// ---- A delivered copy handed to the supervisor ----

TEST_F(EventCopies, ADeliveredCopyHandedToTheSupervisorIsSentAndItsHoldReleased) {
    Install(KEEPER, "keep");
    Start();
    // The start-up's two documents are kept first: given back, the event
    // below is the oldest kept copy.
    ASSERT_TRUE(WaitForCalls(installation, "keep", "Config length", 2, Scaled(10)));
    Command(KEEPER, "keep", "release\n", "release 0", 2);
    Command(KEEPER, "keep", "raise 0x1 0x10 0 0 for-the-supervisor\n", "data=for-the-supervisor");
    Command(KEEPER, "keep", "sendheld\n", "result", 2);
    EXPECT_EQ(CallsOf(installation, "keep", "result").back(), "keep result 0");
    const auto packet = core->ReceivePacket(Scaled(10));
    ASSERT_TRUE(packet);
    EXPECT_EQ(*packet, std::string("for-the-supervisor", sizeof "for-the-supervisor"));
    EXPECT_TRUE(core->WaitForConsole(
        "plugin keep.so handed a buffer the core delivered to the supervisor: its bytes were sent and its hold "
        "released",
        Scaled(10)));

    // A byte inside a kept copy is no buffer of the plugin's to give.
    Command(KEEPER, "keep", "raise 0x1 0x10 0 0 kept\n", "data=kept");
    Command(KEEPER, "keep", "sendinside\n", "result", 4);
    EXPECT_EQ(CallsOf(installation, "keep", "result").back(), "keep result 1");
    EXPECT_TRUE(core->WaitForConsole(
        "plugin keep.so handed part of a buffer the core delivered to the supervisor: refused", Scaled(10)));
    Command(KEEPER, "keep", "release\n", "release 0", 3);
    StopAndExpectCleanExit();
}

// ---- Memory errors of plugins ----

TEST_F(EventCopies, APluginReadingPastADeliveredBufferIsCaughtByAddressSanitizer) {
#if !defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer builds only";
#endif
    Install(READ_PAST, "overreader", "raise 0x1 0x10 0 0 short\n");
    core.emplace(installation);
    core->SendIdentity("korvod", "2.1");
    const auto exitCode = core->WaitForExit(Scaled(30));
    ASSERT_TRUE(exitCode);
    EXPECT_NE(*exitCode, 0);
    EXPECT_NE((core->Console() + core->Errors()).find("heap-buffer-overflow"), std::string::npos)
        << core->Console() << core->Errors();
}
