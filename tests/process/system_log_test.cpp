// The integrator's switch in core.xml that copies the core's level-0 lines
// to the system log, seen from a system log of the test's own: the core runs
// in a private mount namespace whose /dev/log is the test's socket.
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/core_harness.h"
#include "tests/support/plugin_test_fixture.h"
#include "tests/support/private_system_log.h"

using namespace coretest;
using testsupport::PrivateSystemLog;
using testsupport::SystemLogMessage;

namespace {

constexpr int LOG_USER_NOTICE = 8 + 5;
constexpr int LOG_USER_CRIT = 8 + 2;

constexpr Variant WITNESS{"tp_bus_any", 0x00C10000u};       // takes every log line it is given
constexpr Variant OPEN_FAILS{"tp_open_fails", 0x00D40000u}; // Open returns 5, error word 7

const char *const SWITCHED_ON = "<?xml ?>\n<kDVR Delta=\"0\">\n"
                                "    <Memory ID=\"-2147483648\" Throttling=\"1\" />\n"
                                "    <SystemLog Diagnostics=\"1\" />\n</kDVR>\n";
const char *const SWITCHED_OFF = "<?xml ?>\n<kDVR Delta=\"0\">\n"
                                 "    <Memory ID=\"-2147483648\" Throttling=\"1\" />\n"
                                 "    <SystemLog Diagnostics=\"0\" />\n</kDVR>\n";
const char *const WITHOUT_SWITCH = "<?xml ?>\n<kDVR Delta=\"0\">\n"
                                   "    <Memory ID=\"-2147483648\" Throttling=\"1\" />\n</kDVR>\n";

class SystemLogCopy : public RunningCoreTest {
protected:
    void SetUp() override {
        std::string why;
        if (!PrivateSystemLog::Possible(why)) {
            GTEST_SKIP() << why;
        }
        log.emplace();
    }

    void StartWithPrivateLog() {
        StartOptions options;
        options.beforeExec = log->ChildSetup();
        core.emplace(installation, options);
        core->SendIdentity("korvod", "2.1");
        ASSERT_TRUE(core->WaitForConsole("successfully started core version", Scaled(10))) << core->Console();
    }

    std::vector<SystemLogMessage> MessagesWith(const std::string &text) {
        std::vector<SystemLogMessage> found;
        for (const SystemLogMessage &message : log->Messages()) {
            if (message.text.find(text) != std::string::npos) {
                found.push_back(message);
            }
        }
        return found;
    }

    // The one message that holds text has the priority and the line's text alone.
    void ExpectOneMessage(const std::string &text, int priority) {
        ASSERT_TRUE(log->WaitFor(text, Scaled(10))) << text;
        const auto found = MessagesWith(text);
        ASSERT_EQ(found.size(), 1u) << text;
        EXPECT_EQ(found[0].priority, priority) << text;
        EXPECT_EQ(found[0].text, text);
    }

    std::optional<PrivateSystemLog> log;
};

} // namespace

// Level-0 lines of the core and of plugins go to the system log as notices,
// level 100 as before; neither 25 nor 50 does, and no plugin is given a
// level-0 line. The rewritten core.xml keeps the switch.
TEST_F(SystemLogCopy, LevelZeroLinesBecomeNoticesWhenCoreXmlAsks) {
    installation.WriteFile("core.xml", SWITCHED_ON);
    Install(OPEN_FAILS, "opener");
    Install(WITNESS, "witness");
    installation.AddPlugin("tp_load_fails", "fails.so");
    StartWithPrivateLog();

    ExpectOneMessage("plugin opener.so open returned 5 error 7", LOG_USER_NOTICE);
    ExpectOneMessage("Core: Loaded plugin: witness.so", LOG_USER_NOTICE);
    ExpectOneMessage("plugin fails.so load returned 3 error 0", LOG_USER_CRIT);
    Command(WITNESS, "witness", "raise 0x40 0x2 0 0 a plugin's own level-0 line\n", "result");
    ExpectOneMessage("a plugin's own level-0 line", LOG_USER_NOTICE);
    EXPECT_TRUE(MessagesWith("successfully started core").empty());
    EXPECT_TRUE(CallsOf(installation, "witness", "open returned").empty());
    EXPECT_TRUE(CallsOf(installation, "witness", "level-0 line").empty());
    EXPECT_EQ(installation.ReadFile("core.xml"), SWITCHED_ON);
    StopAndExpectCleanExit();
}

// Off by default, and off when the switch says 0: the console still shows
// the line, the system log only level 100. A switch that is off is kept.
TEST_F(SystemLogCopy, LevelZeroLinesStayOnTheConsoleWithoutTheSwitch) {
    for (const char *file : {"", SWITCHED_OFF}) {
        Installation installation;
        if (*file != '\0') {
            installation.WriteFile("core.xml", file);
        }
        installation.AddPlugin(OPEN_FAILS.name, "opener.so");
        installation.AddPlugin("tp_load_fails", "fails.so");
        StartOptions options;
        options.beforeExec = log->ChildSetup();
        CoreProcess core(installation, options);
        core.SendIdentity("korvod", "2.1");
        // The sink writes to the system log before the console.
        ASSERT_TRUE(core.WaitForConsole("plugin opener.so open returned 5 error 7", Scaled(10))) << core.Console();
        ASSERT_TRUE(log->WaitFor("plugin fails.so load returned 3 error 0", Scaled(10)));
        EXPECT_TRUE(MessagesWith("open returned").empty()) << file;
        EXPECT_TRUE(MessagesWith("Core: Loaded plugin").empty()) << file;
        core.SendStop();
        EXPECT_EQ(core.WaitForExit(Scaled(30)), 0);
        EXPECT_EQ(installation.ReadFile("core.xml"), *file != '\0' ? SWITCHED_OFF : WITHOUT_SWITCH);
    }
}

// Packets to forty addresses nobody takes: forty lines of one kind on the
// console; a few of them in the system log, and the rest counted there.
TEST_F(SystemLogCopy, LinesOfOneKindAreLimitedAndTheRestCounted) {
    installation.WriteFile("core.xml", SWITCHED_ON);
    Install(WITNESS, "witness");
    StartWithPrivateLog();
    constexpr int LINES = 40;
    for (int i = 0; i < LINES; ++i) {
        core->SendPacket(COMMAND_PACKET, 0x0D000000u + (static_cast<uint32_t>(i) << 20), "lost");
    }
    const std::string kind = " reached no plugin";
    ASSERT_TRUE(WaitUntil(
        [&] {
            long lines = 0;
            for (const auto &line : Lines(core->Console())) {
                lines += line.find(kind) != std::string::npos;
            }
            return lines >= LINES;
        },
        Scaled(20)))
        << core->Console();
    StopAndExpectCleanExit();

    const auto copied = MessagesWith(kind);
    long leftOut = 0;
    for (const SystemLogMessage &message : MessagesWith(" diagnostics not copied to the system log (rate limit)")) {
        EXPECT_EQ(message.priority, LOG_USER_NOTICE);
        leftOut += std::strtol(message.text.c_str(), nullptr, 10);
    }
    // Five a minute: more only when the burst took longer than that.
    EXPECT_GE(copied.size(), 5u);
    EXPECT_LT(copied.size(), static_cast<std::size_t>(LINES));
    EXPECT_EQ(static_cast<long>(copied.size()) + leftOut, LINES);
}
