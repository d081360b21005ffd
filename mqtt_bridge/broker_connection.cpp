#include "mqtt_bridge/broker_connection.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include "mqtt_bridge/broker_probe.h"

namespace {

constexpr int VERIFY_PEER = 1; // OpenSSL's SSL_VERIFY_PEER
constexpr char OFFLINE[] = "offline";

// libmosquitto is C: nothing may be thrown through it. A callback that fails loses its one
// message or state change; the link notices a broken connection by its socket anyway.
template <typename Call>
void Guarded(Call call) {
    try {
        call();
    } catch (...) {
    }
}

struct PropertyList {
    mosquitto_property *list = nullptr;
    PropertyList() = default;
    PropertyList(const PropertyList &) = delete;
    PropertyList &operator=(const PropertyList &) = delete;
    ~PropertyList() { mosquitto_property_free_all(&list); }
};

// The string or binary value of a property of a received message, or empty.
std::string PropertyText(const mosquitto_property *properties, int identifier) {
    std::string text;
    if (identifier == MQTT_PROP_CORRELATION_DATA) {
        void *value = nullptr;
        uint16_t length = 0;
        if (mosquitto_property_read_binary(properties, identifier, &value, &length, false) && value) {
            text.assign(static_cast<const char *>(value), length);
        }
        free(value);
    } else {
        char *value = nullptr;
        if (mosquitto_property_read_string(properties, identifier, &value, false) && value) {
            text = value;
        }
        free(value);
    }
    return text;
}

IncomingMessage Incoming(const mosquitto_message *message, const mosquitto_property *properties) {
    IncomingMessage incoming;
    incoming.topic = message->topic;
    incoming.payload = static_cast<const char *>(message->payload);
    incoming.length = message->payloadlen > 0 ? message->payloadlen : 0;
    incoming.retained = message->retain;
    if (properties) {
        incoming.responseTopic = PropertyText(properties, MQTT_PROP_RESPONSE_TOPIC);
        incoming.correlation = PropertyText(properties, MQTT_PROP_CORRELATION_DATA);
    }
    return incoming;
}

} // namespace

void BrokerConnection::Destroy::operator()(mosquitto *client) const { mosquitto_destroy(client); }

BrokerConnection::BrokerConnection(ConnectionSettings settings, Listener &listener)
    : settings(std::move(settings)), listener(listener) {
    // A clean session: the broker keeps nothing for the bridge between connections.
    client.reset(mosquitto_new(this->settings.clientId.c_str(), true, &listener));
    if (!client) {
        throw std::bad_alloc();
    }
    // Only the network thread calls the library, and it writes only when that thread serves
    // the socket: so a message is never confirmed before Publish has returned its ID.
    mosquitto_threaded_set(client.get(), true);
    mosquitto_int_option(client.get(), MOSQ_OPT_PROTOCOL_VERSION,
                         this->settings.protocol == Protocol::Mqtt5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    mosquitto_connect_v5_callback_set(client.get(),
                                      [](mosquitto *, void *self, int code, int, const mosquitto_property *) {
                                          Guarded([&] { static_cast<Listener *>(self)->Connected(code); });
                                      });
    mosquitto_publish_v5_callback_set(
        client.get(), [](mosquitto *, void *self, int messageId, int reason, const mosquitto_property *) {
            Guarded([&] { static_cast<Listener *>(self)->Published(messageId, reason); });
        });
    mosquitto_message_v5_callback_set(client.get(), [](mosquitto *, void *self, const mosquitto_message *message,
                                                       const mosquitto_property *properties) {
        Guarded([&] { static_cast<Listener *>(self)->Received(Incoming(message, properties)); });
    });
    mosquitto_disconnect_v5_callback_set(client.get(),
                                         [](mosquitto *, void *self, int result, const mosquitto_property *) {
                                             Guarded([&] { static_cast<Listener *>(self)->Disconnected(result); });
                                         });
}

BrokerConnection::~BrokerConnection() = default;

std::string BrokerConnection::Configure() {
    int result = MOSQ_ERR_SUCCESS;
    if (settings.tls.enabled) {
        const char *certFile = settings.tls.certFile.empty() ? nullptr : settings.tls.certFile.c_str();
        const char *keyFile = settings.tls.keyFile.empty() ? nullptr : settings.tls.keyFile.c_str();
        result = mosquitto_tls_set(client.get(), settings.tls.caFile.c_str(), nullptr, certFile, keyFile, nullptr);
        if (result != MOSQ_ERR_SUCCESS) {
            return "cannot use the TLS files: " + ResultText(result);
        }
        // The broker's certificate must name the host the bridge connects to.
        mosquitto_tls_opts_set(client.get(), VERIFY_PEER, nullptr, nullptr);
    }
    if (!settings.user.empty()) {
        const char *password = settings.password.empty() ? nullptr : settings.password.c_str();
        result = mosquitto_username_pw_set(client.get(), settings.user.c_str(), password);
    }
    if (result == MOSQ_ERR_SUCCESS) {
        result = mosquitto_will_set(client.get(), settings.willTopic.c_str(), sizeof OFFLINE - 1, OFFLINE, settings.qos,
                                    true);
    }
    return result == MOSQ_ERR_SUCCESS ? "" : ResultText(result);
}

std::string BrokerConnection::Start(int wakeDescriptor, const std::atomic<bool> &stopping,
                                    std::chrono::steady_clock::time_point deadline) {
    std::string problem = Configure();
    if (!problem.empty()) {
        return problem;
    }
    if (settings.protocol == Protocol::Mqtt311) {
        const int result =
            mosquitto_connect_async(client.get(), settings.host.c_str(), settings.port, settings.keepAliveSeconds);
        return result == MOSQ_ERR_SUCCESS ? "" : ResultText(result);
    }
    problem = ProbeBroker(settings.host, settings.port, wakeDescriptor, stopping, deadline);
    if (!problem.empty()) {
        return problem;
    }
    PropertyList properties;
    if (settings.maximumPacketSize > 0) {
        mosquitto_property_add_int32(&properties.list, MQTT_PROP_MAXIMUM_PACKET_SIZE, settings.maximumPacketSize);
    }
    const int result = mosquitto_connect_bind_v5(client.get(), settings.host.c_str(), settings.port,
                                                 settings.keepAliveSeconds, nullptr, properties.list);
    return result == MOSQ_ERR_SUCCESS ? "" : ResultText(result);
}

int BrokerConnection::Socket() const { return mosquitto_socket(client.get()); }

bool BrokerConnection::WantsToWrite() const { return mosquitto_want_write(client.get()); }

int BrokerConnection::Read() { return mosquitto_loop_read(client.get(), 1); }

int BrokerConnection::Write() { return mosquitto_loop_write(client.get(), 1); }

int BrokerConnection::Maintain() { return mosquitto_loop_misc(client.get()); }

int BrokerConnection::Publish(const std::string &topic, const std::string &payload, bool retain, int &messageId,
                              const MessageProperties *extras) {
    PropertyList properties;
    if (extras && settings.protocol == Protocol::Mqtt5) {
        if (!extras->time.empty()) {
            mosquitto_property_add_string_pair(&properties.list, MQTT_PROP_USER_PROPERTY, "time", extras->time.c_str());
            mosquitto_property_add_string_pair(&properties.list, MQTT_PROP_USER_PROPERTY, "sequence",
                                               std::to_string(extras->sequence).c_str());
        }
        if (!extras->correlation.empty()) {
            mosquitto_property_add_binary(&properties.list, MQTT_PROP_CORRELATION_DATA, extras->correlation.data(),
                                          static_cast<uint16_t>(extras->correlation.size()));
        }
    }
    return mosquitto_publish_v5(client.get(), &messageId, topic.c_str(), static_cast<int>(payload.size()),
                                payload.data(), settings.qos, retain, properties.list);
}

int BrokerConnection::Subscribe(const std::string &filter) {
    // Never the bridge's own answers back (MQTT 5; 3.1.1 brokers send them, and they are ignored).
    const int options = settings.protocol == Protocol::Mqtt5 ? MQTT_SUB_OPT_NO_LOCAL : 0;
    return mosquitto_subscribe_v5(client.get(), nullptr, filter.c_str(), settings.qos, options, nullptr);
}

int BrokerConnection::Disconnect() { return mosquitto_disconnect(client.get()); }

std::string ResultText(int result) {
    switch (result) {
    case MOSQ_ERR_SUCCESS:
        return "closed";
    case MOSQ_ERR_ERRNO:
        return std::strerror(errno);
    case MOSQ_ERR_CONN_LOST:
        return "connection lost";
    case MOSQ_ERR_NO_CONN:
        return "not connected";
    case MOSQ_ERR_TLS:
        return "TLS failure (certificate, key or handshake)";
    case MOSQ_ERR_EAI:
        return "host name not resolved";
    case MOSQ_ERR_KEEPALIVE:
        return "no answer within the keep-alive time";
    case MOSQ_ERR_PROTOCOL:
        return "protocol error";
    case MOSQ_ERR_INVAL:
        return "invalid setting or unreadable file";
    default:
        return "error " + std::to_string(result);
    }
}

std::string RefusalText(int code) {
    switch (code) {
    case 1:
    case MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION:
        return "unacceptable protocol version";
    case 2:
    case MQTT_RC_CLIENTID_NOT_VALID:
        return "client identifier rejected";
    case 3:
    case MQTT_RC_SERVER_UNAVAILABLE:
    case MQTT_RC_SERVER_BUSY:
        return "broker unavailable";
    case 4:
    case MQTT_RC_BAD_USERNAME_OR_PASSWORD:
        return "bad user name or password";
    case 5:
    case MQTT_RC_NOT_AUTHORIZED:
        return "not authorised";
    case MQTT_RC_BANNED:
        return "banned";
    case MQTT_RC_PACKET_TOO_LARGE:
        return "packet too large";
    default:
        return "refusal code " + std::to_string(code);
    }
}

bool IsProtocolRefusal(int code) { return code == 1 || code == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION; }
