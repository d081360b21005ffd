#pragma once

// What the test kit's own tests share: a scratch working directory (plugins
// write their files there) and the paths of the plugins they drive.

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/core_harness.h"
#include "tests/support/temporary_directory.h"

namespace kittest {

inline std::chrono::milliseconds Timeout(double seconds) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(coretest::Scaled(seconds));
}

// Runs each test in a fresh temporary working directory, removed afterwards.
class ScratchDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        previous = std::filesystem::current_path();
        scratch.emplace("dvrkit");
        directory = scratch->Root();
        std::filesystem::current_path(directory);
    }

    void TearDown() override {
        std::filesystem::current_path(previous);
        scratch.reset();
    }

    // A copy of a built plugin under the name whose stem it will report.
    std::string Install(const std::string &builtPath, const std::string &fileName) const {
        const auto target = directory / fileName;
        std::filesystem::copy_file(builtPath, target);
        return target.string();
    }

    void WriteFile(const std::string &name, const std::string &content) const {
        std::ofstream(directory / name, std::ios::binary) << content;
    }

    std::string ReadFile(const std::string &name) const {
        std::ifstream file(directory / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }

    // Lines the test plugins appended to calls.log.
    std::vector<std::string> Calls() const { return coretest::Lines(ReadFile("calls.log")); }

    std::filesystem::path directory;

private:
    std::filesystem::path previous;
    std::optional<testsupport::TemporaryDirectory> scratch;
};

} // namespace kittest
