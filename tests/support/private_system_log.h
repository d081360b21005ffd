#pragma once

// A system log of the test's own: a datagram socket that a child process
// sees as /dev/log. The child gets a private mount namespace whose /dev is a
// copy of the machine's (each entry bound from the real one) plus that
// socket, so that syslog(3) in the child reaches the test and nothing of the
// machine's own log or /dev changes. Needs the right to make mount
// namespaces (root, in practice).

#include <functional>
#include <string>
#include <vector>

#include "tests/support/temporary_directory.h"
#include "tests/support/wait_until.h"

namespace testsupport {

// One message as syslog(3) sends it: "<priority>timestamp tag: text".
struct SystemLogMessage {
    int priority = -1; // facility * 8 + severity
    std::string text;
    std::string datagram; // as received, for senders that write it without syslog(3)
};

class PrivateSystemLog {
public:
    PrivateSystemLog();
    ~PrivateSystemLog();
    PrivateSystemLog(const PrivateSystemLog &) = delete;
    PrivateSystemLog &operator=(const PrivateSystemLog &) = delete;

    // Whether this process may give a child such a log; if not, why.
    static bool Possible(std::string &why);

    // For a child's last step before its program: moves it into its own
    // mount namespace with this log as /dev/log. A failure ends the child
    // with CHILD_NO_LOG before the program runs.
    std::function<void()> ChildSetup() const;
    static constexpr int CHILD_NO_LOG = 125;

    // Everything received so far, in order.
    std::vector<SystemLogMessage> Messages();
    // Until a message holds text, or the time is up.
    bool WaitFor(const std::string &text, Seconds timeout);

private:
    struct DeviceEntry {
        std::string outside; // bound from here ...
        std::string inside;  // ... to here
        std::string linkTarget;
        bool directory = false;
        bool link = false;
    };

    void Receive();

    TemporaryDirectory root{"system-log"};
    std::string socketPath;
    std::string outsideDevices;
    std::vector<DeviceEntry> devices; // gathered before any fork
    int socket = -1;
    std::vector<SystemLogMessage> received;
};

} // namespace testsupport
