// Plugin jobs seen from outside the process: job threads, tags, admission
// with back-pressure, and shutdown while job threads still run.
//
// The driver plugin (tp_basic) raises job and ordinary events from the
// commands of supervisor packets; job plugins run their job data as
// commands. Jobs are started with class 0x1 and type 0x10; jobs raise their
// events with class 0x2 and type 0x20.
#include <chrono>
#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>

#include <boost/filesystem.hpp>

#include <gtest/gtest.h>

#include "tests/support/core_harness.h"

using namespace coretest;
namespace fs = boost::filesystem;

namespace {

const char *const STARTED = "successfully started core version";
constexpr uint32_t DRIVER_ID = 0x00010000u;
constexpr uint32_t KEEP_ID = 0x00A30000u;
constexpr uint32_t RETAIN_ID = 0x00A60000u;
constexpr uint32_t COMMAND_PACKET = 1;

uint32_t AddressOf(uint32_t pluginId) { return ((pluginId >> 16) & 0xFFFu) << 20; }

// The address space a process has mapped, from /proc/<pid>/status; 0 if unknown.
rlim_t MappedBytes(const std::string &process) {
    std::ifstream status(process + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmSize:", 0) == 0) {
            return std::stoull(line.substr(7)) * 1024;
        }
    }
    return 0;
}

class JobsTest : public ::testing::Test {
protected:
    void AddPlugin(const std::string &variant, const std::string &stem) const {
        installation.AddPlugin(variant, stem + ".so");
    }

    void StartCore() {
        core.emplace(installation);
        core->SendIdentity("korvod", "2.1");
        ASSERT_TRUE(core->WaitForConsole(STARTED, Scaled(10)));
    }

    // Runs the commands in the plugin, on the core's I/O thread.
    void Command(uint32_t pluginId, const std::string &commands) const {
        core->SendPacket(COMMAND_PACKET, AddressOf(pluginId), commands);
    }

    std::vector<std::string> Calls(const std::string &text) const { return CallsContaining(installation, text); }

    bool WaitForCalls(const std::string &text, std::size_t count = 1, double seconds = 10) const {
        return WaitUntil([&] { return Calls(text).size() >= count; }, Scaled(seconds));
    }

    // Position of the nth (from 0) calls.log line containing text, or -1.
    long IndexOf(const std::string &text, std::size_t occurrence = 0) const {
        const auto lines = installation.Calls();
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].find(text) != std::string::npos && occurrence-- == 0) {
                return static_cast<long>(i);
            }
        }
        return -1;
    }

    // Stops the core and expects a clean exit: no sanitizer report, no buffer left held.
    void StopCore() {
        core->SendStop();
        EXPECT_EQ(core->WaitForExit(Scaled(30)), 0);
        EXPECT_EQ(core->Errors(), "");
        EXPECT_EQ(core->Console().find("leaked by plugin"), std::string::npos);
    }

    Installation installation;
    std::optional<CoreProcess> core;
};

// ---- Starting jobs ----

TEST_F(JobsTest, JobRunsReadOnANewThreadOfEveryMatchingReaderWithItsDataLengthAndTag) {
    AddPlugin("tp_basic", "driver");
    AddPlugin("tp_job_a", "job_a");
    AddPlugin("tp_job_b", "job_b");
    AddPlugin("tp_job_seen", "seen"); // its masks match, but it reads no events
    const std::string work = "raise 0x2 0x20 4 0 copied\nwaitclosed\n";
    installation.WriteFile("driver.work", work);
    StartCore();

    Command(DRIVER_ID, "jobscript 0x1 0x10 4 work\njob 0x1 0x10 6\njob 0x2 0x10 8 nobody\n");
    // The jobs wait for Close, so the raiser returned while they still run.
    ASSERT_TRUE(WaitForCalls("driver result 0", 3));
    const std::string started = "Job tag=4 length=" + std::to_string(work.size()) + " null=0";
    ASSERT_TRUE(WaitForCalls("job_a " + started));
    ASSERT_TRUE(WaitForCalls("job_b " + started));
    ASSERT_TRUE(WaitForCalls("job_a Job tag=6 length=0 null=1"));
    ASSERT_TRUE(WaitForCalls("job_b Job tag=6 length=0 null=1"));
    EXPECT_TRUE(WaitForCalls("seen Write source=0x00a10000 tag=4 class=0x2 type=0x20"));
    EXPECT_TRUE(WaitForCalls("seen Write source=0x00a20000 tag=4 class=0x2 type=0x20"));
    EXPECT_TRUE(Calls("Job end tag=4").empty());
    StopCore();

    EXPECT_EQ(Calls("Job end tag=4").size(), 2u);
    EXPECT_TRUE(Calls("seen Job").empty());
    EXPECT_TRUE(Calls("Job tag=8").empty()); // class 0x2 selects mask 1: nobody matched
}

TEST_F(JobsTest, TypeBit24WithBit23ClearSelectsMaskBit23ForJobsAndMaskBit25ForDelivery) {
    AddPlugin("tp_basic", "driver");
    AddPlugin("tp_job_bit23", "bit23");
    AddPlugin("tp_job_bit25", "bit25");
    StartCore();

    Command(DRIVER_ID, "job 0x1 0x1000000 5 \nraise 0x1 0x1000000 0 0 ordinary\n");
    ASSERT_TRUE(WaitForCalls("bit23 Job end tag=5"));
    ASSERT_TRUE(WaitForCalls("bit25 Write source=0x00010000 tag=0 class=0x1 type=0x1000000"));
    StopCore();

    EXPECT_TRUE(Calls("bit25 Job").empty());
    EXPECT_TRUE(Calls("bit23 Write").empty());
}

// ---- Tags ----

TEST_F(JobsTest, CancelledTagsAndThreadsThatAreNoJobThreadsAreRefused) {
    AddPlugin("tp_basic", "driver");
    AddPlugin("tp_job_a", "job_a");
    AddPlugin("tp_job_seen", "seen");
    AddPlugin("tp_job_bit23", "reader"); // takes no job of class 0x1 type 0x10
    installation.WriteFile("reader.reader", "raise 0x2 0x20 9 0 from-reader\n");
    installation.WriteFile("driver.tags", "raise 0x2 0x20 7 0 seven\n"
                                          "raise 0x2 0x20 8 0 eight\n"
                                          "raise 0x2 0x20 9 0 nine\n"
                                          "job 0x1000 0 7\n"
                                          "raise 0x2 0x20 7 0 after-cancel\n"
                                          "raise 0x2 0x20 0 0 untagged\n");
    StartCore();

    // 7 and 8 cancelled, then 7 started again: only 8 stays cancelled.
    Command(DRIVER_ID, "job 0x1000 0 7\njob 0x1000 0 8\njobscript 0x1 0x10 7 tags\n"
                       "raise 0x2 0x20 9 0 from-io-thread\n");
    ASSERT_TRUE(WaitForCalls("job_a Job end tag=7"));
    ASSERT_TRUE(WaitForCalls("seen Write", 3));
    ASSERT_TRUE(WaitForCalls("reader result"));
    StopCore();

    const std::vector<std::string> jobResults = {"job_a result 0", "job_a result 1", "job_a result 0",
                                                 "job_a result 0", "job_a result 1", "job_a result 0"};
    EXPECT_EQ(Calls("job_a result"), jobResults);
    EXPECT_EQ(Calls("driver result"),
              std::vector<std::string>({"driver result 0", "driver result 0", "driver result 0", "driver result 1"}));
    EXPECT_EQ(Calls("reader result"), std::vector<std::string>({"reader result 1"}));
    std::vector<std::string> delivered;
    for (const auto &line : Calls("seen Write")) {
        delivered.push_back(line.substr(line.find("data=")));
    }
    // Texts raised with a level count their NUL, shown as '.'.
    EXPECT_EQ(delivered, std::vector<std::string>({"data=seven.", "data=nine.", "data=untagged."}));
}

// ---- Back-pressure ----

TEST_F(JobsTest, SecondTaggedEventWithDataReturnsOnlyAfterDeliveryFreedTheFirst) {
    AddPlugin("tp_basic", "driver");
    AddPlugin("tp_job_a", "job_a");
    AddPlugin("tp_job_slow", "slow");
    installation.WriteFile("driver.pair", "raise 0x2 0x20 3 0 first\nraise 0x2 0x20 3 0 second\n");
    StartCore();

    Command(DRIVER_ID, "jobscript 0x1 0x10 3 pair\n");
    ASSERT_TRUE(WaitForCalls("job_a Job end tag=3"));
    ASSERT_TRUE(WaitForCalls("slow Written tag=3", 2));
    StopCore();

    // The first buffer is freed after the slow Write of it has returned.
    EXPECT_LT(IndexOf("slow Written tag=3"), IndexOf("job_a result 0", 1));
    EXPECT_LT(IndexOf("slow Write source=0x00a10000 tag=3"), IndexOf("slow Written tag=3"));
    EXPECT_NE(IndexOf("data=second"), -1);
}

// The keeper is slow to return from Write: the second release is asked for
// as soon as its Write of "second" is seen, while it is still inside, and
// must find the buffer kept.
TEST_F(JobsTest, RetainedBufferHoldsBackTheNextTaggedEventWithDataButNotUntaggedEvents) {
    AddPlugin("tp_basic", "driver");
    AddPlugin("tp_job_a", "job_a");
    AddPlugin("tp_job_retain_slow", "keep");
    installation.WriteFile("driver.hold", "raise 0x2 0x20 3 0 first\n"
                                          "raise 0x2 0x20 0 0 untagged-1\n"
                                          "raise 0x2 0x20 0 0 untagged-2\n"
                                          "raise 0x2 0x20 3 0 second\n");
    StartCore();

    Command(DRIVER_ID, "jobscript 0x1 0x10 3 hold\n");
    // Untagged events pass although the first buffer is still held.
    ASSERT_TRUE(WaitForCalls("job_a result 0", 3));
    ASSERT_TRUE(WaitForCalls("keep Write source=0x00a10000 tag=0 class=0x2 type=0x20"));
    ASSERT_TRUE(WaitForCalls("data=untagged-2"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(Calls("job_a result").size(), 3u);
    EXPECT_TRUE(Calls("job_a Job end").empty());

    Command(RETAIN_ID, "release\n");
    ASSERT_TRUE(WaitForCalls("job_a Job end tag=3"));
    EXPECT_EQ(Calls("job_a result").size(), 4u);
    ASSERT_TRUE(WaitForCalls("data=second"));
    const std::size_t released = Calls("keep release 0").size();
    Command(RETAIN_ID, "release\n");
    ASSERT_TRUE(WaitForCalls("keep release 0", released + 1));
    StopCore();
}

// ---- Shutdown ----

TEST_F(JobsTest, JobStillInReadWhenTheCoreStopsReturnsBeforeItsLibraryIsReleased) {
    AddPlugin("tp_basic", "driver");
    AddPlugin("tp_job_a", "job_a");
    installation.WriteFile("driver.linger", "waitclosed\nsleep 300\nraise 0x2 0x20 4 0 late\n");
    StartCore();

    Command(DRIVER_ID, "jobscript 0x1 0x10 4 linger\n");
    ASSERT_TRUE(WaitForCalls("job_a Job tag=4"));
    StopCore();

    EXPECT_EQ(Calls("job_a result"), std::vector<std::string>({"job_a result 1"})); // the core was stopping
    EXPECT_NE(IndexOf("job_a Job end tag=4"), -1);
    EXPECT_LT(IndexOf("job_a Job end tag=4"), IndexOf("job_a Unload"));
}

// The job waits for a buffer that its holder gives back only when it is
// unloaded itself, after the job's own plugin.
TEST_F(JobsTest, JobWaitingForABufferThatIsReleasedOnlyAtUnloadIsRefusedAndTheCoreStops) {
    AddPlugin("tp_job_a", "a_job");
    AddPlugin("tp_basic", "driver");
    AddPlugin("tp_job_retain", "z_keep");
    installation.WriteFile("z_keep.unload", "release\n");
    installation.WriteFile("driver.stuck", "raise 0x2 0x20 3 0 first\nraise 0x2 0x20 3 0 second\n");
    StartCore();

    Command(DRIVER_ID, "jobscript 0x1 0x10 3 stuck\n");
    ASSERT_TRUE(WaitForCalls("z_keep Write source=0x00a10000 tag=3"));
    ASSERT_TRUE(WaitForCalls("a_job result 0"));
    StopCore();

    EXPECT_EQ(Calls("a_job result"), std::vector<std::string>({"a_job result 0", "a_job result 1"}));
    EXPECT_LT(IndexOf("a_job Job end tag=3"), IndexOf("a_job Unload"));
    EXPECT_FALSE(Calls("z_keep release 0").empty());
    EXPECT_EQ(Calls("z_keep release"), Calls("z_keep release 0"));
}

// ---- A thread the system refuses ----

TEST_F(JobsTest, JobThreadThatCannotBeCreatedCostsOnlyThatJob) {
    AddPlugin("tp_basic", "driver");
    AddPlugin("tp_job_a", "job_a");
    StartCore();
    const std::string process = "/proc/" + std::to_string(core->Pid());
    if (fs::read_symlink(process + "/exe") != fs::canonical(installation.CorePath())) {
        StopCore();
        GTEST_SKIP() << "an emulator does not map the core's thread stacks one by one";
    }

    // Room for small allocations, none for a thread stack.
    const rlim_t mapped = MappedBytes(process);
    ASSERT_NE(mapped, 0u);
    rlimit limit{mapped + 2 * 1024 * 1024, RLIM_INFINITY};
    ASSERT_EQ(prlimit(core->Pid(), RLIMIT_AS, &limit, nullptr), 0);
    Command(DRIVER_ID, "job 0x1 0x10 4 starved\n");
    ASSERT_TRUE(core->WaitForConsole("plugin job_a.so job thread could not be started", Scaled(10)));
    ASSERT_TRUE(WaitForCalls("driver result 0"));

    limit.rlim_cur = RLIM_INFINITY;
    ASSERT_EQ(prlimit(core->Pid(), RLIMIT_AS, &limit, nullptr), 0);
    Command(DRIVER_ID, "job 0x1 0x10 5 fed\n");
    ASSERT_TRUE(WaitForCalls("job_a Job end tag=5"));
    StopCore();
    EXPECT_TRUE(Calls("Job tag=4").empty());
}

// ---- Stress ----

// Jobs are started, cancelled and restarted while their threads raise tagged
// events with data; one job plugin retains every buffer and gives them back
// from its own job threads and from the supervisor's packets.
TEST_F(JobsTest, ManyJobsStartedAndCancelledDeliverEveryAcceptedEventAndLeakNothing) {
    AddPlugin("tp_basic", "driver");
    AddPlugin("tp_job_a", "job_a");
    AddPlugin("tp_job_keep", "job_keep");
    AddPlugin("tp_job_seen", "seen");
    constexpr int TAGS = 48;
    constexpr int RAISES_PER_JOB = 5;
    std::string starts;
    int jobs = 0;
    for (int tag = 1; tag <= TAGS; ++tag) {
        const std::string t = std::to_string(tag);
        installation.WriteFile("driver.job" + t, "raise 0x2 0x20 " + t + " 0 t" + t + "-0\n" + "raise 0x2 0x20 " + t +
                                                     " 0 t" + t + "-1\nrelease\n" + "raise 0x2 0x20 " + t + " 0 t" + t +
                                                     "-2\n" + "raise 0x2 0x20 0 0 u" + t + "\n" + "raise 0x2 0x20 " +
                                                     t + " 0 t" + t + "-3\nrelease\n");
        const std::string start = "jobscript 0x1 0x10 " + t + " job" + t + "\n";
        starts += start;
        ++jobs;
        if (tag % 3 == 0) {
            starts += "job 0x1000 0 " + t + "\n";
        }
        if (tag % 6 == 0) {
            starts += start;
            ++jobs;
        }
    }
    const std::size_t threads = 2 * static_cast<std::size_t>(jobs); // job_a and job_keep
    StartCore();

    Command(DRIVER_ID, starts);
    // The keeper releases what it holds again and again, so that every job goes on.
    WaitUntil(
        [&] {
            Command(KEEP_ID, "release\n");
            return Calls("Job end").size() >= threads;
        },
        Scaled(60), std::chrono::milliseconds(20));
    ASSERT_EQ(Calls("Job end").size(), threads);

    const std::size_t accepted = Calls("job_a result 0").size() + Calls("job_keep result 0").size();
    const std::size_t refused = Calls("job_a result 1").size() + Calls("job_keep result 1").size();
    EXPECT_EQ(accepted + refused, threads * RAISES_PER_JOB);
    EXPECT_TRUE(WaitForCalls("seen Write", accepted, 30));
    Command(KEEP_ID, "release\n");
    StopCore();
    EXPECT_EQ(Calls("seen Write").size(), accepted);
}

} // namespace
