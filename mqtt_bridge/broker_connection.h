#pragma once

#include <cstddef>
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
};

// One client session with the broker, from a connection attempt until it ends: a libmosquitto
// client set up from the settings. The bridge's network thread owns it, watches its socket and
// calls everything here; the listener's calls run on that thread, inside Read, Write and
// Maintain. Destroying it closes the socket without a word to the broker.
class BrokerConnection {
public:
    class Listener {
    public:
        virtual void Connected(int connackCode) = 0; // 0: accepted
        virtual void Published(int messageId) = 0;   // sent (QoS 0) or acknowledged
        virtual void Received(const std::string &topic, const char *payload, std::size_t length) = 0;
        virtual void Disconnected(int result) = 0;

    protected:
        ~Listener() = default;
    };

    BrokerConnection(ConnectionSettings settings, Listener &listener);
    ~BrokerConnection();
    BrokerConnection(const BrokerConnection &) = delete;
    BrokerConnection &operator=(const BrokerConnection &) = delete;

    // Sets the client up and starts connecting without waiting for the broker; empty, or why it
    // cannot (a TLS file that cannot be used, a host name that does not resolve).
    std::string Start();
    int Socket() const; // -1 when closed
    bool WantsToWrite() const;
    // libmosquitto's result codes (MOSQ_ERR_SUCCESS is 0); describe them with ResultText.
    int Read();
    int Write();
    int Maintain(); // keep-alive; about once a second
    int Publish(const std::string &topic, const std::string &payload, bool retain, int &messageId);
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
std::string RefusalText(int connackCode);
