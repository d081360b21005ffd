// The supervisor link seen from the supervisor's end of the socket: packets
// to plugins, packets from plugins, the stop packet and the loss of the link.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "include/dvrplugin.h"
#include "tests/support/core_harness.h"
#include "tests/support/plugin_test_fixture.h"
#include "tests/support/supervisor_packets.h"

using namespace coretest;

namespace {

const std::string STARTED = "successfully started core version " + BuiltCoreVersion();
const std::string STOPPING = "stopping core version " + BuiltCoreVersion() + "...";
const char *const DISCONNECTED = "korvod ipc pipe disconnected";
const char *const SLEEPING = "sleeping for one minute to allow active watchdogs to expire...";

// tp_link_first (ID 0x10471234) and tp_link_second (ID 0x00470000) both
// answer to this address; bits 0-19 play no part.
constexpr uint32_t LINK_ADDRESS = 0x047ABCDEu;
// The test plugin's "send N" fills its packet with the bytes 0, 1, 2, ...
std::string CountingBytes(std::size_t length, std::size_t from = 0) {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<char>((from + i) & 0xFF);
    }
    return bytes;
}

bool EndsWith(const std::string &text, const std::string &end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Index of the first calls.log line containing text, or the line count.
std::size_t LineOf(const std::vector<std::string> &calls, const std::string &text) {
    std::size_t line = 0;
    while (line < calls.size() && calls[line].find(text) == std::string::npos) {
        ++line;
    }
    return line;
}

// In the core's process before it starts: the link end it inherits (the
// sequenced-packet socket not closed on exec) gets the least send room the
// system allows, a few KiB.
void ShrinkInheritedLinkSendRoom() {
    for (int descriptor = 3; descriptor < 1024; ++descriptor) {
        int type = 0;
        socklen_t length = sizeof type;
        const int flags = fcntl(descriptor, F_GETFD);
        if (flags >= 0 && (flags & FD_CLOEXEC) == 0 &&
            getsockopt(descriptor, SOL_SOCKET, SO_TYPE, &type, &length) == 0 && type == SOCK_SEQPACKET) {
            const int least = 1;
            setsockopt(descriptor, SOL_SOCKET, SO_SNDBUF, &least, sizeof least);
        }
    }
}

std::string ReadLink(const std::string &path) {
    char target[512];
    const ssize_t length = readlink(path.c_str(), target, sizeof target);
    return length < 0 ? std::string() : std::string(target, static_cast<std::size_t>(length));
}

// What a process's descriptors beyond the standard three refer to.
std::set<std::string> DescriptorTargets(const std::string &process) {
    std::set<std::string> targets;
    const std::string directory = "/proc/" + process + "/fd";
    DIR *entries = opendir(directory.c_str());
    if (entries == nullptr) {
        return {"cannot list " + directory};
    }
    while (const dirent *entry = readdir(entries)) {
        const std::string name = entry->d_name;
        if (name != "." && name != ".." && name != "0" && name != "1" && name != "2") {
            targets.insert(ReadLink(directory + "/" + name));
        }
    }
    closedir(entries);
    return targets;
}

// The descriptors a program started by a plugin holds that did not come
// from this test (whose process passes its own on to the core). An emulator
// running the core may pass on files of its own: then only sockets, pipes
// and event objects count, which are what the core holds for good.
std::vector<std::string> DescriptorsFromTheCore(pid_t program) {
    const std::set<std::string> ours = DescriptorTargets("self");
    std::vector<std::string> fromTheCore;
    for (const auto &target : DescriptorTargets(std::to_string(program))) {
        const bool heldForGood =
            target.rfind("socket:", 0) == 0 || target.rfind("pipe:", 0) == 0 || target.rfind("anon_inode:", 0) == 0;
        if (ours.count(target) == 0 && (heldForGood || !Emulated())) {
            fromTheCore.push_back(target);
        }
    }
    return fromTheCore;
}

class SupervisorLink : public RunningCoreTest {
protected:
    // Starts the core with the given plugins (file name, variant) and waits
    // until it has started under an identified supervisor.
    void StartCore(const std::vector<std::pair<std::string, std::string>> &plugins) {
        for (const auto &[fileName, variant] : plugins) {
            installation.AddPlugin(variant, fileName);
        }
        Start();
    }
};

} // namespace

// ---- Identity ----

TEST_F(SupervisorLink, IdentityArrivingDuringTheStartUpWaitEndsItAtOnce) {
    core.emplace(installation);
    // Late enough that the core is normally waiting already; if not, the
    // identity comes before the wait, which must not delay the start either.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const auto sent = std::chrono::steady_clock::now();
    core->SendIdentity("korvod", "4.2");
    ASSERT_TRUE(core->WaitForConsole(STARTED, Scaled(10)));
    EXPECT_LT(std::chrono::steady_clock::now() - sent, Seconds(7)); // the wait alone would last 8 more
    StopAndExpectCleanExit();
    EXPECT_NE(installation.ReadFile("plugins.xml").find(R"(<Library Name="korvod" Filename="korvod" Version="4.2" />)"),
              std::string::npos);
}

// The worker raises an event every 50 ms from the moment the plugins load;
// each one wakes the waiting main thread.
TEST_F(SupervisorLink, EventsQueuedDuringTheStartUpWaitDoNotEndIt) {
    installation.WriteFile("a_first.worker", "stream 40 0x1 0x10 0 50000 early\n");
    installation.AddPlugin("tp_link_first", "a_first.so");
    core.emplace(installation);
    ASSERT_EQ(WaitForCalls(installation, "a_first streamed", 1, Scaled(8)),
              std::vector<std::string>{"a_first streamed tag=0 accepted=40 throttled=0 refused=0"});
    EXPECT_EQ(core->Console().find(STARTED), std::string::npos) << "started before the identity";
    core->SendIdentity("korvod", "4.2");
    ASSERT_TRUE(core->WaitForConsole(STARTED, Scaled(10)));
    StopAndExpectCleanExit();
    EXPECT_NE(installation.ReadFile("plugins.xml").find(R"(<Library Name="korvod" Filename="korvod" Version="4.2" />)"),
              std::string::npos);
}

TEST(SupervisorIdentity, NameAndVersionReachTheModulesReport) {
    // Payload, then the report's supervisor entry ("" when there is none).
    const std::vector<std::pair<std::string, std::string>> cases = {
        {std::string("korvod\0"
                     "4.2\0",
                     11),
         R"(<Library Name="korvod" Filename="korvod" Version="4.2" />)"},
        {std::string("korvod\0"
                     "4.2\0"
                     "x",
                     12),
         R"(<Library Name="korvod" Filename="korvod" Version="4.2" />)"},
        {"korvod", ""}, // a name alone leaves the version empty: no entry
    };
    for (const auto &[payload, entry] : cases) {
        Installation installation;
        CoreProcess core(installation);
        core.SendPacket(IPC_IDENTITY, 0, payload);
        ASSERT_TRUE(core.WaitForConsole(STARTED, Scaled(20)));
        core.SendStop();
        EXPECT_EQ(core.WaitForExit(Scaled(20)), 0);
        const std::string report = installation.ReadFile("plugins.xml");
        if (entry.empty()) {
            EXPECT_EQ(report.find("<Library"), std::string::npos) << report;
        } else {
            EXPECT_NE(report.find(entry), std::string::npos) << report;
        }
    }
}

// ---- Packets to plugins ----

TEST_F(SupervisorLink, PacketReachesOnlyTheFirstAddressedPluginByteForByte) {
    StartCore({{"a_first.so", "tp_link_first"}, {"b_second.so", "tp_link_second"}, {"c_other.so", "tp_basic"}});
    std::string payload = "echo\n";
    for (int byte = 0; byte < 256; ++byte) {
        payload.push_back(static_cast<char>(byte));
    }
    const std::string packet =
        RawPacket(static_cast<uint32_t>(16 + payload.size()), LINK_ADDRESS, 3, 0xDEADBEEFu, payload);
    SendRecord(*core, packet);

    // The plugin hands back exactly what its IOCTL was given.
    const auto answer = core->ReceivePacket(Scaled(10));
    ASSERT_TRUE(answer);
    EXPECT_EQ(*answer, packet);
    StopAndExpectCleanExit();
    EXPECT_EQ(CallsContaining(installation, "Packet"),
              std::vector<std::string>{"a_first Packet length=277 address=0x047abcde type=3"});
}

TEST_F(SupervisorLink, PacketsJoinedAndSplitAcrossReceivesAreForwardedInOrder) {
    StartCore({{"a_first.so", "tp_link_first"}});
    const std::string second = Packet(LINK_ADDRESS, 6, std::string(100, 'x'));
    // An identity without payload is forwarded like any other packet.
    SendRecord(*core, Packet(LINK_ADDRESS, IPC_IDENTITY, "") + second.substr(0, 10));
    SendRecord(*core, second.substr(10) + Packet(LINK_ADDRESS, 9, "x"));
    const auto packets = WaitForCalls(installation, "Packet", 3, Scaled(10));
    EXPECT_EQ(packets, (std::vector<std::string>{"a_first Packet length=16 address=0x047abcde type=7",
                                                 "a_first Packet length=116 address=0x047abcde type=6",
                                                 "a_first Packet length=17 address=0x047abcde type=9"}));
    StopAndExpectCleanExit();
}

TEST_F(SupervisorLink, FailingIoctlIsLoggedAndUnaddressedPacketsAreDropped) {
    StartCore({{"fails.so", "tp_link_fails"}});
    SendRecord(*core, Packet(0x99900000u, 3, "nobody"));
    SendRecord(*core, Packet(0x04800000u, 3, ""));
    EXPECT_TRUE(core->WaitForConsole("plugin fails.so ipc ioctl returned 2 error 5", Scaled(10)));
    StopAndExpectCleanExit();
    EXPECT_EQ(CallsContaining(installation, "Packet"),
              std::vector<std::string>{"fails Packet length=16 address=0x04800000 type=3"});
}

TEST_F(SupervisorLink, BadLengthsAreReportedAndDropTheBufferWithoutStalling) {
    StartCore({{"a_first.so", "tp_link_first"}});
    // An over-long length, and one shorter than its own header, each with a
    // valid packet behind it in the same receive: both are dropped.
    SendRecord(*core, RawPacket(70000, LINK_ADDRESS, 3, 0, "") + Packet(LINK_ADDRESS, 10, ""));
    SendRecord(*core, Packet(LINK_ADDRESS, 11, ""));
    SendRecord(*core, RawPacket(5, LINK_ADDRESS, 3, 0, "") + Packet(LINK_ADDRESS, 12, ""));
    SendRecord(*core, Packet(LINK_ADDRESS, 13, ""));
    EXPECT_EQ(WaitForCalls(installation, "Packet", 2, Scaled(10)),
              (std::vector<std::string>{"a_first Packet length=16 address=0x047abcde type=11",
                                        "a_first Packet length=16 address=0x047abcde type=13"}));
    EXPECT_TRUE(WaitForConsoleCount(*core, "bad ipc packet length", 2, Scaled(10)));
    StopAndExpectCleanExit();
}

// ---- Packets from plugins ----

TEST_F(SupervisorLink, PacketsRaisedQuicklyLeaveOneByOneInRaisingOrder) {
    StartCore({{"a_first.so", "tp_link_first"}});
    SendRecord(*core, Packet(LINK_ADDRESS, 3, "send 100\nsend 2000\nsend 300\n"));
    for (const std::size_t length : {100, 2000, 300}) {
        const auto packet = core->ReceivePacket(Scaled(10));
        ASSERT_TRUE(packet) << length;
        EXPECT_EQ(*packet, CountingBytes(length));
    }
    StopAndExpectCleanExit();
    EXPECT_EQ(CallsContaining(installation, "result"), std::vector<std::string>(3, "a_first result 0"));
}

TEST_F(SupervisorLink, BufferLongerThan64KiBLeavesAsFullPacketsAndARest) {
    StartCore({{"a_first.so", "tp_link_first"}});
    SendRecord(*core, Packet(LINK_ADDRESS, 3, "send 100000"));
    const auto first = core->ReceivePacket(Scaled(10));
    const auto second = core->ReceivePacket(Scaled(10));
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->size(), 65536u);
    EXPECT_EQ(second->size(), 34464u);
    EXPECT_EQ(*first + *second, CountingBytes(100000));
    StopAndExpectCleanExit();
}

// Several times what the socket holds, raised while the supervisor reads
// nothing: the core waits for room and sends the rest in raising order.
TEST_F(SupervisorLink, PacketsBeyondWhatTheSocketHoldsWaitForRoomAndKeepTheirOrder) {
    StartCore({{"a_first.so", "tp_link_first"}});
    constexpr std::size_t PACKETS = 16;
    std::string script;
    for (std::size_t i = 0; i < PACKETS; ++i) {
        script += "send " + std::to_string(40000 + i) + "\n";
    }
    SendRecord(*core, Packet(LINK_ADDRESS, 3, script));
    ASSERT_EQ(WaitForCalls(installation, "result 0", PACKETS, Scaled(10)).size(), PACKETS);
    for (std::size_t i = 0; i < PACKETS; ++i) {
        const auto packet = core->ReceivePacket(Scaled(10));
        ASSERT_TRUE(packet) << i;
        EXPECT_EQ(*packet, CountingBytes(40000 + i)) << i;
    }
    StopAndExpectCleanExit();
}

TEST(SupervisorLinkSends, PacketTheSocketRefusesIsDroppedAndTheNextOnesGo) {
    Installation installation;
    installation.AddPlugin("tp_link_first", "a_first.so");
    StartOptions options;
    options.beforeExec = ShrinkInheritedLinkSendRoom;
    CoreProcess core(installation, options);
    core.SendIdentity("korvod", "4.2");
    ASSERT_TRUE(core.WaitForConsole(STARTED, Scaled(10)));
    // The middle packet is larger than the socket's whole send room.
    SendRecord(core, Packet(LINK_ADDRESS, 3, "send 100\nsend 40000\nsend 200\nsend 100000\nsend 300\n"));
    for (const std::size_t length : {100, 200, 300}) {
        const auto packet = core.ReceivePacket(Scaled(10));
        ASSERT_TRUE(packet) << length;
        EXPECT_EQ(*packet, CountingBytes(length));
    }
    EXPECT_TRUE(core.WaitForConsole("ipc packet of 40000 bytes dropped: ", Scaled(10)));
    EXPECT_TRUE(core.WaitForConsole("ipc packet of 100000 bytes dropped: ", Scaled(10)));
    core.SendStop();
    EXPECT_EQ(core.WaitForExit(Scaled(20)), 0);
    EXPECT_EQ(CallsContaining(installation, "result"), std::vector<std::string>(5, "a_first result 0"));
    EXPECT_EQ(Count(core.Console(), DISCONNECTED), 0u);
}

// A supervisor that no longer reads makes the core's next send fail: the
// link is lost, as when the peer closes. Not waited for: the minute after.
TEST_F(SupervisorLink, SendToAPeerThatStoppedReadingLosesTheLink) {
    installation.WriteFile("a_first.worker", "await link-lost\nsend 10\n");
    StartCore({{"a_first.so", "tp_link_first"}});
    ASSERT_EQ(shutdown(core->SupervisorSocket(), SHUT_RD), 0);
    SendRecord(*core, Packet(LINK_ADDRESS, 3, "send 10"));
    ASSERT_TRUE(core->WaitForConsole(STOPPING, Scaled(20)));
    const std::string console = core->Console();
    EXPECT_LT(console.find(DISCONNECTED), console.find(SLEEPING));
    installation.WriteFile("link-lost", "");
    EXPECT_EQ(WaitForCalls(installation, "a_first result", 2, Scaled(10)),
              (std::vector<std::string>{"a_first result 0", "a_first result 1"}));
}

TEST(SupervisorLinkAbsent, SendsAreRefusedWithoutASocket) {
    Installation installation;
    installation.AddPlugin("tp_basic", "basic.so");
    installation.WriteFile("basic.open", "send 10\nsend 0\n");
    StartOptions options;
    options.supervisor = false;
    CoreProcess core(installation, options);
    ASSERT_TRUE(core.WaitForConsole(STARTED, Scaled(10)));
    EXPECT_EQ(core.StopBySignal(SIGTERM, Scaled(20)), 0);
    EXPECT_EQ(CallsContaining(installation, "result"), std::vector<std::string>(2, "basic result 1"));
}

// ---- Stopping ----

TEST_F(SupervisorLink, StopPacketStopsTheCoreAfterDeliveringQueuedEvents) {
    StartCore({{"a_first.so", "tp_link_first"}});
    // The plugin queues the events on the receiving thread; the stop follows
    // in the same receive, so most of them are still queued when it arrives.
    SendRecord(*core, Packet(LINK_ADDRESS, 3, "repeat 300 0x1 0x10 queued") + Packet(0, IPC_STOP, ""));
    EXPECT_EQ(core->WaitForExit(Scaled(20)), 0);
    const auto calls = installation.Calls();
    const auto writes = CallsContaining(installation, "data=queued");
    ASSERT_EQ(writes.size(), 300u);
    for (std::size_t i = 0; i < writes.size(); ++i) {
        EXPECT_TRUE(EndsWith(writes[i], "data=queued " + std::to_string(i))) << writes[i];
    }
    EXPECT_LT(LineOf(calls, "data=queued 299"), LineOf(calls, "a_first Close"));
}

// One minute long: the core keeps its plugins open for a minute after the loss.
TEST_F(SupervisorLink, LostLinkStopsTheCoreAndClosesThePluginsOneMinuteLater) {
    installation.WriteFile("a_first.worker", "await link-lost\nsend 10\n");
    StartCore({{"a_first.so", "tp_link_first"}});
    SendRecord(*core, Packet(LINK_ADDRESS, 3, "repeat 100 0x1 0x10 queued"));
    core->CloseSupervisor();
    ASSERT_TRUE(core->WaitForConsole(STOPPING, Scaled(20)));
    const auto stopping = std::chrono::steady_clock::now();
    const std::string console = core->Console();
    EXPECT_LT(console.find(DISCONNECTED), console.find(SLEEPING));

    // From now on the link refuses packets; a signal does not shorten the minute.
    installation.WriteFile("link-lost", "");
    EXPECT_EQ(WaitForCalls(installation, "a_first result", 1, Scaled(10)),
              std::vector<std::string>{"a_first result 1"});
    core->Signal(SIGTERM);
    const auto closed = WaitForCalls(installation, "a_first Close", 1, Seconds(60) + Scaled(30));
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_GE(std::chrono::steady_clock::now() - stopping, Seconds(58));
    EXPECT_EQ(core->WaitForExit(Scaled(20)), 0);

    // Everything queued before the stop, the two messages included, was
    // delivered before the plugins were closed.
    const auto calls = installation.Calls();
    const std::size_t close = LineOf(calls, "a_first Close");
    EXPECT_EQ(CallsContaining(installation, "data=queued").size(), 100u);
    EXPECT_LT(LineOf(calls, "data=queued 99"), close);
    EXPECT_LT(LineOf(calls, std::string("data=") + DISCONNECTED), close);
    EXPECT_LT(LineOf(calls, std::string("data=") + SLEEPING), close);
}

// ---- Programs that plugins start ----

// Killed, the core must leave nothing open that would keep the supervisor
// from seeing it end.
TEST_F(SupervisorLink, ProgramAPluginStartsInheritsNoDescriptorOfTheCore) {
    StartCore({{"a_first.so", "tp_link_first"}});
    SendRecord(*core, Packet(LINK_ADDRESS, 3, "spawn 60"));
    const auto spawned = WaitForCalls(installation, "a_first spawned", 1, Scaled(10));
    ASSERT_EQ(spawned.size(), 1u);
    const pid_t child = static_cast<pid_t>(std::stol(spawned[0].substr(spawned[0].rfind(' ') + 1)));
    ASSERT_GT(child, 0);
    // Started and asleep: the program has opened and closed its own files.
    const auto programIsAsleep = [child] {
        std::ifstream stat("/proc/" + std::to_string(child) + "/stat");
        std::string text;
        std::getline(stat, text);
        const auto nameEnd = text.rfind(") ");
        return text.find("(sleep)") != std::string::npos && nameEnd != std::string::npos &&
               text.compare(nameEnd + 2, 1, "S") == 0;
    };
    ASSERT_TRUE(WaitUntil(programIsAsleep, Scaled(10)));
    EXPECT_EQ(DescriptorsFromTheCore(child), std::vector<std::string>());

    core->Signal(SIGKILL);
    pollfd link{core->SupervisorSocket(), POLLRDHUP, 0};
    EXPECT_EQ(poll(&link, 1, static_cast<int>(Scaled(10).count() * 1000)), 1);
    EXPECT_NE(link.revents & (POLLHUP | POLLRDHUP), 0);
    kill(child, SIGKILL);
}

// ---- The supervisor stand-in ----

#ifdef STANDIN_EXECUTABLE
TEST(SupervisorStandin, DemoPacketMakesARoundTripThroughTheEchoResponder) {
    Installation installation;
    std::ifstream plugin(ECHO_RESPONDER_PLUGIN, std::ios::binary);
    installation.WriteFile("plugins/echo_responder.so",
                           std::string(std::istreambuf_iterator<char>(plugin), std::istreambuf_iterator<char>()));
    const std::string command = "cd '" + installation.Root() + "' && timeout -s KILL " +
                                std::to_string(Scaled(60).count()) + " '" + STANDIN_EXECUTABLE + "' --seconds " +
                                std::to_string(Scaled(5).count()) +
                                " --record received.log ./core >standin.out 2>&1 </dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0) << installation.ReadFile("standin.out");
    // 27 bytes: the header {27, 0x0EC00000, 1, 0} and "echo: hello".
    EXPECT_NE(installation.ReadFile("received.log")
                  .find(" 27 1b0000000000c00e0100000000000000"
                        "6563686f3a2068656c6c6f\n"),
              std::string::npos)
        << installation.ReadFile("standin.out");
}
#endif
