#include "mqtt_bridge/system_log.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include "mqtt_bridge/text_safety.h"

namespace {

constexpr std::size_t LINE_LIMIT = 480;

} // namespace

std::string SystemLogDatagram(const std::string &text, long processId, long secondsSinceEpoch) {
    const time_t seconds = static_cast<time_t>(secondsSinceEpoch);
    tm local{};
    localtime_r(&seconds, &local);
    char stamp[32] = "";
    std::strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &local);
    char head[96];
    std::snprintf(head, sizeof head, "<%d>%s %s[%ld]: ", LOG_USER | LOG_WARNING, stamp, SystemLog::IDENTITY, processId);
    return head + PrintableText(text, LINE_LIMIT);
}

SystemLog::~SystemLog() {
    if (socketDescriptor >= 0) {
        close(socketDescriptor);
    }
}

bool SystemLog::Connect() {
    if (socketDescriptor >= 0) {
        return true;
    }
    socketDescriptor = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (socketDescriptor < 0) {
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, SOCKET_PATH, sizeof address.sun_path - 1);
    if (connect(socketDescriptor, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(socketDescriptor);
        socketDescriptor = -1;
        return false;
    }
    return true;
}

void SystemLog::Warn(const std::string &text) {
    const std::string datagram = SystemLogDatagram(text, static_cast<long>(getpid()), static_cast<long>(time(nullptr)));
    std::lock_guard<std::mutex> lock(mutex);
    if (!Connect()) {
        return;
    }
    if (send(socketDescriptor, datagram.data(), datagram.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
        // The daemon may have restarted: the next line connects again.
        close(socketDescriptor);
        socketDescriptor = -1;
    }
}
