#include "tests/mqtt/test_client.h"

#include <stdexcept>

#include <mosquitto.h>
#include <mqtt_protocol.h>

namespace mqtttest {

namespace {

constexpr int QOS = 1;

void InitialiseLibraryOnce() {
    static const int initialised = mosquitto_lib_init();
    (void)initialised;
}

} // namespace

TestClient::TestClient(const TestBroker &broker, const std::string &filter, const ClientLogin &login) : filter(filter) {
    InitialiseLibraryOnce();
    client = mosquitto_new(nullptr, true, this);
    mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, login.mqtt5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    mosquitto_tls_set(client, broker.CaFile().c_str(), nullptr, broker.ClientCertificate().c_str(),
                      broker.ClientKey().c_str(), nullptr);
    mosquitto_username_pw_set(client, login.user.c_str(), login.password.c_str());
    mosquitto_connect_callback_set(client, OnConnect);
    mosquitto_subscribe_callback_set(client, OnSubscribe);
    mosquitto_message_v5_callback_set(client, OnMessage);
    mosquitto_publish_v5_callback_set(client, OnPublish);
    if (mosquitto_connect(client, "127.0.0.1", broker.Port(), 60) != MOSQ_ERR_SUCCESS ||
        mosquitto_loop_start(client) != MOSQ_ERR_SUCCESS) {
        throw std::runtime_error("the watcher cannot connect to the broker");
    }
    std::unique_lock<std::mutex> lock(mutex);
    if (!changed.wait_for(lock, coretest::Scaled(20), [&] { return subscribed; })) {
        throw std::runtime_error("the watcher's subscription was not confirmed");
    }
}

TestClient::~TestClient() {
    mosquitto_disconnect(client);
    mosquitto_loop_stop(client, false);
    mosquitto_destroy(client);
}

void TestClient::OnConnect(mosquitto *client, void *self, int code) {
    if (code == 0) {
        mosquitto_subscribe(client, nullptr, static_cast<TestClient *>(self)->filter.c_str(), QOS);
    }
}

void TestClient::OnSubscribe(mosquitto *, void *self, int, int, const int *) {
    auto *watcher = static_cast<TestClient *>(self);
    std::lock_guard<std::mutex> lock(watcher->mutex);
    watcher->subscribed = true;
    watcher->changed.notify_all();
}

void TestClient::OnMessage(mosquitto *, void *self, const mosquitto_message *message,
                           const mosquitto_property *properties) {
    Message received{message->topic,
                     std::string(static_cast<const char *>(message->payload), message->payloadlen),
                     message->retain,
                     "",
                     {}};
    void *correlation = nullptr;
    uint16_t length = 0;
    if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &correlation, &length, false)) {
        received.correlation.assign(static_cast<const char *>(correlation), length);
    }
    free(correlation);
    for (const mosquitto_property *at = properties; at; at = mosquitto_property_next(at)) {
        char *name = nullptr;
        char *value = nullptr;
        if (mosquitto_property_identifier(at) == MQTT_PROP_USER_PROPERTY &&
            mosquitto_property_read_string_pair(at, MQTT_PROP_USER_PROPERTY, &name, &value, false)) {
            received.userProperties.emplace_back(name, value);
        }
        free(name);
        free(value);
    }
    auto *watcher = static_cast<TestClient *>(self);
    std::lock_guard<std::mutex> lock(watcher->mutex);
    watcher->messages.push_back(std::move(received));
    watcher->changed.notify_all();
}

void TestClient::OnPublish(mosquitto *, void *self, int messageId, int reason, const mosquitto_property *) {
    auto *watcher = static_cast<TestClient *>(self);
    std::lock_guard<std::mutex> lock(watcher->mutex);
    watcher->confirmed[messageId] = reason;
    watcher->changed.notify_all();
}

std::optional<TestClient::Message> TestClient::FindLocked(const std::string &topic, const std::string &part) const {
    for (const Message &message : messages) {
        if (message.topic == topic && message.payload.find(part) != std::string::npos) {
            return message;
        }
    }
    return std::nullopt;
}

std::optional<TestClient::Message> TestClient::WaitFor(const std::string &topic, const std::string &part,
                                                       coretest::Seconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    std::optional<Message> found;
    changed.wait_for(lock, timeout, [&] { return (found = FindLocked(topic, part)).has_value(); });
    return found;
}

std::vector<TestClient::Message> TestClient::Received() const {
    std::lock_guard<std::mutex> lock(mutex);
    return messages;
}

std::size_t TestClient::Count(const std::string &topic, const std::string &part) const {
    std::size_t count = 0;
    for (const Message &message : Received()) {
        count += message.topic == topic && message.payload.find(part) != std::string::npos;
    }
    return count;
}

int TestClient::Publish(const std::string &topic, const std::string &payload, bool retain,
                        const std::string &responseTopic, const std::string &correlation) {
    mosquitto_property *properties = nullptr;
    if (!responseTopic.empty()) {
        mosquitto_property_add_string(&properties, MQTT_PROP_RESPONSE_TOPIC, responseTopic.c_str());
    }
    if (!correlation.empty()) {
        mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA, correlation.data(),
                                      static_cast<uint16_t>(correlation.size()));
    }
    int messageId = 0;
    const int result = mosquitto_publish_v5(client, &messageId, topic.c_str(), static_cast<int>(payload.size()),
                                            payload.data(), QOS, retain, properties);
    mosquitto_property_free_all(&properties);
    if (result != MOSQ_ERR_SUCCESS) {
        throw std::runtime_error("the watcher cannot publish on " + topic);
    }
    std::unique_lock<std::mutex> lock(mutex);
    if (!changed.wait_for(lock, coretest::Scaled(60), [&] { return confirmed.count(messageId) > 0; })) {
        throw std::runtime_error("the broker did not confirm the message on " + topic);
    }
    return confirmed[messageId];
}

} // namespace mqtttest
