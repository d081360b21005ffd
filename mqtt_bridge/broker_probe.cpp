#include "mqtt_bridge/broker_probe.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct FreeAddresses {
    void operator()(addrinfo *addresses) const { freeaddrinfo(addresses); }
};

// Empty when connected; "stopping", or the reason.
std::string TryAddress(const addrinfo &address, int wakeDescriptor, std::chrono::steady_clock::time_point deadline) {
    const int probe =
        socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, address.ai_protocol);
    if (probe < 0) {
        return std::strerror(errno);
    }
    std::string problem;
    if (connect(probe, address.ai_addr, address.ai_addrlen) != 0 && errno != EINPROGRESS) {
        problem = std::strerror(errno);
    }
    while (problem.empty()) {
        pollfd watched[2] = {{probe, POLLOUT, 0}, {wakeDescriptor, POLLIN, 0}};
        const auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (wait.count() <= 0) {
            problem = "no answer from the broker";
            break;
        }
        if (poll(watched, wakeDescriptor >= 0 ? 2 : 1, static_cast<int>(wait.count())) < 0) {
            continue; // EINTR
        }
        if (watched[1].revents) {
            problem = "stopping";
        } else if (watched[0].revents) {
            int error = 0;
            socklen_t length = sizeof error;
            getsockopt(probe, SOL_SOCKET, SO_ERROR, &error, &length);
            if (error != 0) {
                problem = std::strerror(error);
            }
            break;
        }
    }
    close(probe);
    return problem;
}

} // namespace

std::string ProbeBroker(const std::string &host, int port, int wakeDescriptor,
                        std::chrono::steady_clock::time_point deadline) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const int lookup = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (lookup != 0) {
        return "host name not resolved";
    }
    std::unique_ptr<addrinfo, FreeAddresses> addresses(found);
    std::string problem = "no address";
    for (const addrinfo *address = found; address; address = address->ai_next) {
        problem = TryAddress(*address, wakeDescriptor, deadline);
        if (problem.empty() || problem == "stopping") {
            break;
        }
    }
    return problem;
}
