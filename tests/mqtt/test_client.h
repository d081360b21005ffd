#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tests/mqtt/test_broker.h"
#include "tests/support/core_harness.h"

struct mosquitto;
struct mosquitto_message;

namespace mqtttest {

// An MQTT client such as an operator uses to watch a device: it connects to the test broker
// with TLS as the watcher, subscribes to one filter, and keeps every message that arrives.
// Its network thread is libmosquitto's own.
class TestClient {
public:
    struct Message {
        std::string topic;
        std::string payload;
        bool retained = false;
    };

    // Returns once the subscription is in place.
    TestClient(const TestBroker &broker, const std::string &filter);
    ~TestClient();
    TestClient(const TestClient &) = delete;
    TestClient &operator=(const TestClient &) = delete;

    // The first message on `topic` whose payload contains `part`, waiting for it.
    std::optional<Message> WaitFor(const std::string &topic, const std::string &part, coretest::Seconds timeout);
    std::vector<Message> Received() const;
    std::size_t Count(const std::string &topic, const std::string &part) const;
    // Returns once the broker has the message.
    void Publish(const std::string &topic, const std::string &payload);

private:
    std::optional<Message> FindLocked(const std::string &topic, const std::string &part) const;
    static void OnConnect(mosquitto *client, void *self, int code);
    static void OnSubscribe(mosquitto *client, void *self, int messageId, int count, const int *granted);
    static void OnMessage(mosquitto *client, void *self, const mosquitto_message *message);
    static void OnPublish(mosquitto *client, void *self, int messageId);

    std::string filter;
    mosquitto *client = nullptr;
    mutable std::mutex mutex;
    std::condition_variable changed;
    // Guarded by mutex.
    bool subscribed = false;
    std::vector<Message> messages;
    std::set<int> confirmed;
};

} // namespace mqtttest
