#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "mqtt_bridge/settings.h"

struct mosquitto;

struct ConnectionSettings {
    std::string host;
    int port = 0;
    std::string clientId;
    int keepAliveSeconds = 30;
    int qos = 1;
    TlsSettings tls;
    std::string user;
    std::string password;  // empty: none
    std::string willTopic; // gets "offline", retained, when the connection breaks
    Protocol protocol = Protocol::Mqtt5;
    // MQTT 5: the largest packet the broker may send the bridge, told in CONNECT.
    uint32_t maximumPacketSize = 0;
};

// A message from the broker, valid for the call only.
struct IncomingMessage {
    std::string topic;
    const char *payload = nullptr;
    std::size_t length = 0;
    bool retained = false;
    std::string responseTopic; // MQTT 5 properties, empty without
    std::string correlation;
};

// What MQTT 5 carries beside a message: user properties "time" and "sequence" when `time` is
// set, and correlation data when `correlation` is.
struct MessageProperties {
    std::string time;
    uint64_t sequence = 0;
    std::string correlation;
};

// One client session with the broker, from a connection attempt until it ends: a libmosquitto
// client set up from the settings. The bridge's network thread owns it, watches its socket and
// calls everything here; the listener's calls run on that thread, inside Read, Write and
// Maintain. Destroying it closes the socket without a word to the broker.
class BrokerConnection {
public:
    class Listener {
    public:
        // 0: accepted; else the CONNACK code (MQTT 3.1.1) or reason code (MQTT 5).
        virtual void Connected(int code) = 0;
        // Sent (QoS 0) or acknowledged; a reason code of 0x80 or more: the broker refused it.
        virtual void Published(int messageId, int reasonCode) = 0;
        virtual void Received(const IncomingMessage &message) = 0;
        virtual void Disconnected(int result) = 0;

    protected:
        ~Listener() = default;
    };

    BrokerConnection(ConnectionSettings settings, Listener &listener);
    ~BrokerConnection();
    BrokerConnection(const BrokerConnection &) = delete;
    BrokerConnection &operator=(const BrokerConnection &) = delete;

    // Sets the client up and starts connecting; empty, or why it cannot (a TLS file that cannot
    // be used, a host name that does not resolve, a broker out of reach). MQTT 3.1.1 connects
    // without waiting for the broker. libmosquitto connects with MQTT 5 properties only by
    // waiting for the TCP connection, so for MQTT 5 the broker is first reached without
    // blocking, giving up at `deadline` or when the link is `stopping` (which `wakeDescriptor`
    // tells at once), and the library connects at once after.
    std::string Start(int wakeDescriptor, const std::atomic<bool> &stopping,
                      std::chrono::steady_clock::time_point deadline);
    int Socket() const; // -1 when closed
    bool WantsToWrite() const;
    // libmosquitto's result codes (MOSQ_ERR_SUCCESS is 0); describe them with ResultText.
    int Read();
    int Write();
    int Maintain(); // keep-alive; about once a second
    int Publish(const std::string &topic, const std::string &payload, bool retain, int &messageId,
                const MessageProperties *properties = nullptr);
    int Subscribe(const std::string &filter);
    int Disconnect();

private:
    struct Destroy {
        void operator()(mosquitto *client) const;
    };

    std::string Configure();

    ConnectionSettings settings;
    Listener &listener;
    std::unique_ptr<mosquitto, Destroy> client;
};

// Short lower-case texts for libmosquitto's results (errno's text for system errors: call it
// right after the failing call) and for a broker's refusal codes.
std::string ResultText(int result);
std::string RefusalText(int code);
// Whether a refusal says the broker does not speak the protocol version asked for.
bool IsProtocolRefusal(int code);
