#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>
#include <map>
#include <utility>
#include <string>
#include <vector>

#include "tests/mqtt/test_broker.h"
#include "tests/support/core_harness.h"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;
typedef struct mqtt5__property mosquitto_property;

namespace mqtttest {

// Who a test client is: the operator over MQTT 3.1.1 unless said otherwise.
struct ClientLogin {
    std::string user = TestBroker::WATCHER_USER;
    std::string password = TestBroker::WATCHER_PASSWORD;
    bool mqtt5 = false;
};

// An MQTT client such as an operator uses to watch a device: it connects to the test broker
// with TLS as the watcher, subscribes to one filter, and keeps every message that arrives.
// Its network thread is libmosquitto's own.
class TestClient {
public:
    struct Message {
        std::string topic;
        std::string payload;
        bool retained = false;
        std::string correlation;                                         // MQTT 5
        std::vector<std::pair<std::string, std::string>> userProperties; // MQTT 5
    };

    // Returns once the subscription is in place.
    TestClient(const TestBroker &broker, const std::string &filter, const ClientLogin &login = ClientLogin());
    ~TestClient();
    TestClient(const TestClient &) = delete;
    TestClient &operator=(const TestClient &) = delete;

    // The first message on `topic` whose payload contains `part`, waiting for it.
    std::optional<Message> WaitFor(const std::string &topic, const std::string &part, coretest::Seconds timeout);
    std::vector<Message> Received() const;
    std::size_t Count(const std::string &topic, const std::string &part) const;
    // Returns once the broker has taken the message; its MQTT 5 reason code (0 over 3.1.1).
    int Publish(const std::string &topic, const std::string &payload, bool retain = false,
                const std::string &responseTopic = "", const std::string &correlation = "");

private:
    std::optional<Message> FindLocked(const std::string &topic, const std::string &part) const;
    static void OnConnect(mosquitto *client, void *self, int code);
    static void OnSubscribe(mosquitto *client, void *self, int messageId, int count, const int *granted);
    static void OnMessage(mosquitto *client, void *self, const mosquitto_message *message,
                          const mosquitto_property *properties);
    static void OnPublish(mosquitto *client, void *self, int messageId, int reason, const mosquitto_property *);

    std::string filter;
    mosquitto *client = nullptr;
    mutable std::mutex mutex;
    std::condition_variable changed;
    // Guarded by mutex.
    bool subscribed = false;
    std::vector<Message> messages;
    std::map<int, int> confirmed; // message ID: reason code
};

} // namespace mqtttest
