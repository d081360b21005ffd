#pragma once

#include <mutex>
#include <string>

// The bridge's own lines in the system log, for devices without a terminal: sent to the local
// syslog socket ("/dev/log") under the bridge's own name at LOG_WARNING, without touching the
// process's openlog identity, which belongs to the core. A line that cannot be sent (no syslog
// daemon, a full socket) is lost: the bridge never waits for the system log.
//
// Thread-safe: the socket is used under the object's own lock.
class SystemLog {
public:
    static constexpr const char *IDENTITY = "dvrcore-mqtt-bridge";
    static constexpr const char *SOCKET_PATH = "/dev/log";

    SystemLog() = default;
    ~SystemLog();
    SystemLog(const SystemLog &) = delete;
    SystemLog &operator=(const SystemLog &) = delete;

    // One line; control characters are replaced, and never give it a secret.
    void Warn(const std::string &text);

private:
    bool Connect();

    std::mutex mutex;
    int socketDescriptor = -1; // guarded by mutex
};

// The datagram the bridge sends for a line: "<PRI>Mmm dd hh:mm:ss IDENTITY[pid]: text", the
// form the syslog daemons read from the local socket.
std::string SystemLogDatagram(const std::string &text, long processId, long secondsSinceEpoch);
