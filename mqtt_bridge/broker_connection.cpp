#include "mqtt_bridge/broker_connection.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include <mosquitto.h>

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
    mosquitto_connect_callback_set(client.get(), [](mosquitto *, void *self, int code) {
        Guarded([&] { static_cast<Listener *>(self)->Connected(code); });
    });
    mosquitto_publish_callback_set(client.get(), [](mosquitto *, void *self, int messageId) {
        Guarded([&] { static_cast<Listener *>(self)->Published(messageId); });
    });
    mosquitto_message_callback_set(client.get(), [](mosquitto *, void *self, const mosquitto_message *message) {
        Guarded([&] {
            static_cast<Listener *>(self)->Received(message->topic, static_cast<const char *>(message->payload),
                                                    message->payloadlen > 0 ? message->payloadlen : 0);
        });
    });
    mosquitto_disconnect_callback_set(client.get(), [](mosquitto *, void *self, int result) {
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

std::string BrokerConnection::Start() {
    const std::string problem = Configure();
    if (!problem.empty()) {
        return problem;
    }
    const int result =
        mosquitto_connect_async(client.get(), settings.host.c_str(), settings.port, settings.keepAliveSeconds);
    return result == MOSQ_ERR_SUCCESS ? "" : ResultText(result);
}

int BrokerConnection::Socket() const { return mosquitto_socket(client.get()); }

bool BrokerConnection::WantsToWrite() const { return mosquitto_want_write(client.get()); }

int BrokerConnection::Read() { return mosquitto_loop_read(client.get(), 1); }

int BrokerConnection::Write() { return mosquitto_loop_write(client.get(), 1); }

int BrokerConnection::Maintain() { return mosquitto_loop_misc(client.get()); }

int BrokerConnection::Publish(const std::string &topic, const std::string &payload, bool retain, int &messageId) {
    return mosquitto_publish(client.get(), &messageId, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                             settings.qos, retain);
}

int BrokerConnection::Subscribe(const std::string &filter) {
    return mosquitto_subscribe(client.get(), nullptr, filter.c_str(), settings.qos);
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

std::string RefusalText(int connackCode) {
    switch (connackCode) {
    case 1:
        return "unacceptable protocol version";
    case 2:
        return "client identifier rejected";
    case 3:
        return "broker unavailable";
    case 4:
        return "bad user name or password";
    case 5:
        return "not authorised";
    default:
        return "refusal code " + std::to_string(connackCode);
    }
}
