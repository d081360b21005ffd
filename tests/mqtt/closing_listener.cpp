#include "tests/mqtt/closing_listener.h"

#include <cerrno>
#include <cstdint>
#include <stdexcept>

#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace mqtttest {

ClosingListener::ClosingListener(int port) {
    listening = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int reuse = 1;
    setsockopt(listening, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(listening, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(listening, 16) != 0) {
        close(listening);
        throw std::runtime_error("cannot listen on the broker's port");
    }
    stop = eventfd(0, EFD_CLOEXEC);
    server = std::thread([this] { Serve(); });
}

ClosingListener::~ClosingListener() {
    const uint64_t one = 1;
    const ssize_t ignored = write(stop, &one, sizeof one);
    (void)ignored;
    server.join();
    close(stop);
    close(listening);
}

void ClosingListener::Serve() {
    pollfd watched[2] = {{listening, POLLIN, 0}, {stop, POLLIN, 0}};
    for (;;) {
        if (poll(watched, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (watched[1].revents) {
            return;
        }
        if (watched[0].revents) {
            const int connection = accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection >= 0) {
                close(connection);
                ++accepted;
            }
        }
    }
}

} // namespace mqtttest
