#pragma once

// A directory of its own under the system's temporary directory, removed
// with everything in it when the object goes.

#include <string>

namespace testsupport {

class TemporaryDirectory {
public:
    // Named `prefix` and six random characters; throws std::runtime_error
    // when it cannot be made.
    explicit TemporaryDirectory(const std::string &prefix);
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory &) = delete;
    TemporaryDirectory &operator=(const TemporaryDirectory &) = delete;

    const std::string &Root() const { return root; }
    // The path of a file or directory inside it.
    std::string Path(const std::string &relative) const { return root + "/" + relative; }

private:
    std::string root;
};

} // namespace testsupport
