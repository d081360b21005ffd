#include "tests/support/private_system_log.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

namespace {

// "<13>Dec 10 11:42:00 core: text": the priority, then the text after the
// time stamp (15 characters and a space) and the tag.
SystemLogMessage Parse(const std::string &datagram) {
    SystemLogMessage message;
    message.datagram = datagram;
    const auto close = datagram.find('>');
    if (datagram.empty() || datagram[0] != '<' || close == std::string::npos) {
        message.text = datagram;
        return message;
    }
    message.priority = std::atoi(datagram.c_str() + 1);
    constexpr std::size_t TIME_STAMP = 16;
    const auto tagEnd = datagram.find(": ", close + 1 + TIME_STAMP);
    message.text = tagEnd == std::string::npos ? datagram.substr(close + 1) : datagram.substr(tagEnd + 2);
    while (!message.text.empty() && (message.text.back() == '\n' || message.text.back() == '\0')) {
        message.text.pop_back();
    }
    return message;
}

// Only system calls on paths made before the fork.
bool BindEntry(const char *outside, const char *inside, bool directory) {
    if (directory) {
        if (mkdir(inside, 0755) != 0) {
            return false;
        }
    } else {
        const int placeholder = open(inside, O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        if (placeholder < 0) {
            return false;
        }
        close(placeholder);
    }
    return mount(outside, inside, nullptr, MS_BIND | MS_REC, nullptr) == 0;
}

} // namespace

PrivateSystemLog::PrivateSystemLog() : socketPath(root.Path("log")), outsideDevices(root.Path("devices-outside")) {
    socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socket < 0 || socketPath.size() >= sizeof address.sun_path) {
        throw std::runtime_error("no socket for the private system log");
    }
    std::strcpy(address.sun_path, socketPath.c_str());
    if (bind(socket, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        mkdir(outsideDevices.c_str(), 0755) != 0) {
        throw std::runtime_error("cannot bind the private system log: " + std::string(std::strerror(errno)));
    }
    chmod(socketPath.c_str(), 0666); // the child may have dropped root
    DIR *dev = opendir("/dev");
    if (dev == nullptr) {
        throw std::runtime_error("cannot list /dev");
    }
    for (dirent *entry; (entry = readdir(dev)) != nullptr;) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || name == "log") {
            continue;
        }
        DeviceEntry device{outsideDevices + "/" + name, "/dev/" + name, "", false, false};
        struct stat status {};
        if (lstat(device.inside.c_str(), &status) != 0) {
            continue;
        }
        device.directory = S_ISDIR(status.st_mode);
        device.link = S_ISLNK(status.st_mode);
        if (device.link) {
            char target[4096];
            const ssize_t length = readlink(device.inside.c_str(), target, sizeof target - 1);
            if (length <= 0) {
                continue;
            }
            device.linkTarget.assign(target, length);
        }
        devices.push_back(device);
    }
    closedir(dev);
}

PrivateSystemLog::~PrivateSystemLog() {
    if (socket >= 0) {
        close(socket);
    }
}

bool PrivateSystemLog::Possible(std::string &why) {
    const pid_t child = fork();
    if (child == 0) {
        _exit(unshare(CLONE_NEWNS) == 0 ? 0 : 1);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        why = "this process may not make a mount namespace (needs root)";
        return false;
    }
    return true;
}

// The machine's /dev stays reachable under the temporary directory while a
// tmpfs takes its place; each entry is bound back, and the socket becomes
// /dev/log. The namespace is private, so none of it is seen outside.
std::function<void()> PrivateSystemLog::ChildSetup() const {
    return [this] {
        const bool done = unshare(CLONE_NEWNS) == 0 &&
                          mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                          mount("/dev", outsideDevices.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0 &&
                          mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=0755") == 0;
        if (!done) {
            _exit(CHILD_NO_LOG);
        }
        for (const DeviceEntry &device : devices) {
            const bool placed = device.link
                                    ? symlink(device.linkTarget.c_str(), device.inside.c_str()) == 0
                                    : BindEntry(device.outside.c_str(), device.inside.c_str(), device.directory);
            if (!placed) {
                _exit(CHILD_NO_LOG);
            }
        }
        if (!BindEntry(socketPath.c_str(), "/dev/log", false)) {
            _exit(CHILD_NO_LOG);
        }
    };
}

void PrivateSystemLog::Receive() {
    char datagram[4096];
    for (ssize_t length; (length = recv(socket, datagram, sizeof datagram, 0)) > 0;) {
        received.push_back(Parse(std::string(datagram, length)));
    }
}

std::vector<SystemLogMessage> PrivateSystemLog::Messages() {
    Receive();
    return received;
}

bool PrivateSystemLog::WaitFor(const std::string &text, Seconds timeout) {
    return WaitUntil(
        [&] {
            Receive();
            for (const SystemLogMessage &message : received) {
                if (message.text.find(text) != std::string::npos) {
                    return true;
                }
            }
            return false;
        },
        timeout);
}

} // namespace testsupport
