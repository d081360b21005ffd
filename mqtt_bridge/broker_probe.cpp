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

// Once the wake descriptor has been seen readable without a stop, the flag is looked at this
// often instead: the descriptor stays readable until the link serves it.
constexpr std::chrono::milliseconds STOP_LOOK{50};

// Empty when connected; "stopping", or the reason.
std::string TryAddress(const addrinfo &address, int wakeDescriptor, const std::atomic<bool> &stopping,
                       std::chrono::steady_clock::time_point deadline) {
    const int probe =
        socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, address.ai_protocol);
    if (probe < 0) {
        return std::strerror(errno);
    }
    std::string problem;
    if (connect(probe, address.ai_addr, address.ai_addrlen) != 0 && errno != EINPROGRESS) {
        problem = std::strerror(errno);
    }
    bool watchWake = wakeDescriptor >= 0;
    while (problem.empty()) {
        if (stopping) {
            problem = "stopping";
            break;
        }
        pollfd watched[2] = {{probe, POLLOUT, 0}, {wakeDescriptor, POLLIN, 0}};
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (wait.count() <= 0) {
            problem = "no answer from the broker";
            break;
        }
        if (!watchWake) {
            wait = std::min(wait, STOP_LOOK);
        }
        if (poll(watched, watchWake ? 2 : 1, static_cast<int>(wait.count())) < 0) {
            continue; // EINTR
        }
        if (watched[0].revents) {
            int error = 0;
            socklen_t length = sizeof error;
            getsockopt(probe, SOL_SOCKET, SO_ERROR, &error, &length);
            if (error != 0) {
                problem = std::strerror(error);
            }
            break;
        }
        if (watched[1].revents) {
            watchWake = false;
        }
    }
    close(probe);
    return problem;
}

} // namespace

std::string ProbeBroker(const std::string &host, int port, int wakeDescriptor, const std::atomic<bool> &stopping,
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
        problem = TryAddress(*address, wakeDescriptor, stopping, deadline);
        if (problem.empty() || problem == "stopping") {
            break;
        }
    }
    return problem;
}
