#pragma once

// A running core with test plugins that the test drives through supervisor
// packets, and the calls.log queries that such tests share.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/core_harness.h"

namespace coretest {

// A test plugin variant (testplugins/CMakeLists.txt) and the ID it reports.
struct Variant {
    const char *name;
    uint32_t id;
};

// The supervisor address of a plugin: its ID bits 16-27 in bits 20-31.
inline uint32_t AddressOf(const Variant &variant) { return ((variant.id >> 16) & 0xFFFu) << 20; }

// calls.log lines of one plugin (by its installed stem) that contain text.
inline std::vector<std::string> CallsOf(const Installation &installation, const std::string &stem,
                                        const std::string &text) {
    std::vector<std::string> found;
    for (const auto &line : installation.Calls()) {
        if (line.rfind(stem + " ", 0) == 0 && line.find(text) != std::string::npos) {
            found.push_back(line);
        }
    }
    return found;
}

inline bool WaitForCalls(const Installation &installation, const std::string &stem, const std::string &text,
                         std::size_t count, Seconds timeout) {
    return WaitUntil([&] { return CallsOf(installation, stem, text).size() >= count; }, timeout);
}

class RunningCoreTest : public ::testing::Test {
protected:
    static constexpr uint32_t COMMAND_PACKET = 100; // neither identity nor stop: forwarded

    void Install(const Variant &variant, const std::string &stem, const std::string &openScript = "") {
        installation.AddPlugin(variant.name, stem + ".so");
        if (!openScript.empty()) {
            installation.WriteFile(stem + ".open", openScript);
        }
    }

    // Starts the core under the test's supervisor and waits until it runs.
    void Start() {
        core.emplace(installation);
        core->SendIdentity("korvod", "2.1");
        ASSERT_TRUE(core->WaitForConsole("successfully started core version", Scaled(10)));
    }

    // Runs commands in a plugin on the core's I/O thread (inside IOCTL) and
    // waits until the plugin has recorded `done` `count` times in all.
    void Command(const Variant &variant, const std::string &stem, const std::string &commands, const std::string &done,
                 std::size_t count = 1) {
        core->SendPacket(COMMAND_PACKET, AddressOf(variant), commands);
        ASSERT_TRUE(WaitForCalls(installation, stem, done, count, Scaled(20))) << stem << ": " << commands;
    }

    // The leak report is the core's last output: none may follow the exit.
    void StopAndExpectCleanExit() {
        core->SendStop();
        EXPECT_EQ(core->WaitForExit(Scaled(30)), 0);
        EXPECT_EQ(core->Console().find("leaked by plugin"), std::string::npos);
    }

    Installation installation;
    std::optional<CoreProcess> core;
};

} // namespace coretest
