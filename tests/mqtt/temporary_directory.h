#pragma once

#include <fstream>
#include <string>

#include <sys/stat.h>

#include "tests/support/temporary_directory.h"

namespace mqtttest {

// A directory of files for one test, removed with everything in it.
class TemporaryDirectory : public testsupport::TemporaryDirectory {
public:
    TemporaryDirectory() : testsupport::TemporaryDirectory("mqtt-bridge-test") {}

    // Writes the file and gives it `mode`.
    std::string Write(const std::string &name, const std::string &content, mode_t mode = 0644) const {
        const std::string path = Path(name);
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
        chmod(path.c_str(), mode);
        return path;
    }
};

} // namespace mqtttest
