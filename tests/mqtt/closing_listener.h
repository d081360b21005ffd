#pragma once

#include <atomic>
#include <cstddef>
#include <thread>

namespace mqtttest {

// Stands on the broker's port while the broker is away: accepts every connection and closes it
// at once, counting them, so that a test sees the bridge's connection attempts.
class ClosingListener {
public:
    explicit ClosingListener(int port);
    ~ClosingListener();
    ClosingListener(const ClosingListener &) = delete;
    ClosingListener &operator=(const ClosingListener &) = delete;

    std::size_t Accepted() const { return accepted; }

private:
    void Serve();

    int listening = -1;
    int stop = -1; // an eventfd that ends Serve
    std::atomic<std::size_t> accepted{0};
    std::thread server;
};

} // namespace mqtttest
