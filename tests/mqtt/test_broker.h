#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <sys/types.h>

#include "tests/mqtt/temporary_directory.h"

namespace mqtttest {

// A mosquitto broker for one test on a free loopback port, configured with the fleet recipe the
// bridge ships (mqtt_bridge/broker/: TLS only, a password file, no anonymous clients, the ACL,
// the message size limit), its paths and port replaced by the test's own: a certificate
// authority, a broker certificate for 127.0.0.1 and a client certificate, all made with openssl
// at test time. Nothing is kept across restarts; its log is kept in its directory.
class TestBroker {
public:
    // The recorder logs in with its device name, as the recipe's ACL wants.
    static constexpr const char *RECORDER_USER = "hall";
    static constexpr const char *RECORDER_PASSWORD = "recorder-secret";
    static constexpr const char *OTHER_RECORDER_USER = "yard";
    static constexpr const char *OTHER_RECORDER_PASSWORD = "yard-secret";
    static constexpr const char *WATCHER_USER = "operator";
    static constexpr const char *WATCHER_PASSWORD = "operator-secret";

    // Makes the files and starts the broker.
    TestBroker();
    ~TestBroker();
    TestBroker(const TestBroker &) = delete;
    TestBroker &operator=(const TestBroker &) = delete;

    // Starts it again, on the same port; returns once it runs.
    void Start();
    void Stop();
    // Whether the recorder's user may connect; a running broker rereads its password file.
    void AllowRecorder(bool allowed);

    int Port() const { return port; }
    std::string CaFile() const { return directory.Path("ca.crt"); }
    std::string ClientCertificate() const { return directory.Path("client.crt"); }
    std::string ClientKey() const { return directory.Path("client.key"); }
    std::string Log() const;
    // Lines of the log that contain `text`.
    std::size_t LogCount(const std::string &text) const;
    bool WaitForLog(const std::string &text, std::size_t count, double seconds) const;

private:
    void MakeCertificates();
    void MakeCertificate(const std::string &name, int serial, const std::string &subject,
                         const std::string &extensions);
    void WritePasswords(bool recorderAllowed);
    void WriteConfiguration();
    void Run(const std::vector<std::string> &command);

    TemporaryDirectory directory;
    int port = 0;
    pid_t pid = -1;
    std::size_t starts = 0;
    std::size_t reloads = 0;
};

} // namespace mqtttest
