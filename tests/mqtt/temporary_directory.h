#pragma once

#include <cstdlib>
#include <fstream>
#include <string>

#include <sys/stat.h>

#include <boost/filesystem.hpp>

namespace mqtttest {

// A directory of files for one test, removed with everything in it.
class TemporaryDirectory {
public:
    TemporaryDirectory() {
        char pattern[] = "/tmp/mqtt-bridge-test-XXXXXX";
        root = mkdtemp(pattern);
    }
    ~TemporaryDirectory() {
        boost::system::error_code ignored;
        boost::filesystem::remove_all(root, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory &) = delete;
    TemporaryDirectory &operator=(const TemporaryDirectory &) = delete;

    std::string Path(const std::string &name) const { return root + "/" + name; }

    // Writes the file and gives it `mode`.
    std::string Write(const std::string &name, const std::string &content, mode_t mode = 0644) const {
        const std::string path = Path(name);
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
        chmod(path.c_str(), mode);
        return path;
    }

private:
    std::string root;
};

} // namespace mqtttest
