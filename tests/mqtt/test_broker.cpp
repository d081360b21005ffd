#include "tests/mqtt/test_broker.h"

#include <csignal>
#include <cstdio>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/mqtt/programs.h"
#include "tests/support/core_harness.h"
#include "tests/support/plugin_test_fixture.h"

namespace mqtttest {

namespace {

const std::string EC_KEY[] = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};

// A port nobody listens on now. The broker binds it with SO_REUSEADDR, as it does again when
// it restarts.
int FreeLoopbackPort() {
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        getsockname(probe, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        close(probe);
        throw std::runtime_error("no free loopback port");
    }
    close(probe);
    return ntohs(address.sin_port);
}

std::string Program(const char *path, const char *package) {
    if (std::string(path).empty()) {
        throw std::runtime_error(std::string("not installed: Debian package ") + package);
    }
    return path;
}

std::string UserName() {
    const passwd *user = getpwuid(geteuid());
    return user ? user->pw_name : "root";
}

} // namespace

TestBroker::TestBroker() : port(FreeLoopbackPort()) {
    MakeCertificates();
    WritePasswords(true);
    WriteConfiguration();
    Start();
}

TestBroker::~TestBroker() {
    Stop();
    if (::testing::Test::HasFailure()) {
        std::fprintf(stderr, "---- broker log ----\n%s----\n", Log().c_str());
    }
}

void TestBroker::Run(const std::vector<std::string> &command) {
    if (RunProgram(command, directory.Path("setup.log")) != 0) {
        throw std::runtime_error("failed: " + command[0] + " " + command[1] + "\n" +
                                 ReadText(directory.Path("setup.log")));
    }
}

void TestBroker::MakeCertificate(const std::string &name, int serial, const std::string &subject,
                                 const std::string &extensions) {
    const std::string openssl = Program(OPENSSL_PROGRAM, "openssl");
    std::vector<std::string> request = {openssl, "req"};
    request.insert(request.end(), std::begin(EC_KEY), std::end(EC_KEY));
    request.insert(request.end(),
                   {"-keyout", directory.Path(name + ".key"), "-out", directory.Path(name + ".csr"), "-subj", subject});
    Run(request);
    directory.Write(name + ".ext", extensions);
    Run({openssl, "x509", "-req", "-in", directory.Path(name + ".csr"), "-CA", CaFile(), "-CAkey",
         directory.Path("ca.key"), "-set_serial", std::to_string(serial), "-days", "2", "-out",
         directory.Path(name + ".crt"), "-extfile", directory.Path(name + ".ext")});
}

void TestBroker::MakeCertificates() {
    std::vector<std::string> authority = {Program(OPENSSL_PROGRAM, "openssl"), "req", "-x509"};
    authority.insert(authority.end(), std::begin(EC_KEY), std::end(EC_KEY));
    authority.insert(authority.end(), {"-keyout", directory.Path("ca.key"), "-out", CaFile(), "-days", "2", "-subj",
                                       "/CN=bridge test authority"});
    Run(authority);
    MakeCertificate("broker", 2, "/CN=127.0.0.1", "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
    MakeCertificate("client", 3, "/CN=recorder", "extendedKeyUsage=clientAuth\n");
    // The bridge refuses a key that others may read.
    chmod(ClientKey().c_str(), 0600);
}

void TestBroker::WritePasswords(bool recorderAllowed) {
    const std::string passwd = Program(MOSQUITTO_PASSWD_PROGRAM, "mosquitto");
    const std::string file = directory.Path("passwords");
    unlink(file.c_str());
    Run({passwd, "-c", "-b", file, WATCHER_USER, WATCHER_PASSWORD});
    Run({passwd, "-b", file, OTHER_RECORDER_USER, OTHER_RECORDER_PASSWORD});
    if (recorderAllowed) {
        Run({passwd, "-b", file, RECORDER_USER, RECORDER_PASSWORD});
    }
}

// The recipe with the test's directory for /etc/mosquitto/fleet/ and its port on loopback.
static std::string RecipeForTest(std::string recipe, const std::string &directory, int port) {
    const std::string fleet = "/etc/mosquitto/fleet/";
    for (std::size_t at = recipe.find(fleet); at != std::string::npos; at = recipe.find(fleet, at)) {
        recipe.replace(at, fleet.size(), directory + "/");
    }
    const std::string listener = "listener 8883";
    const std::size_t at = recipe.find(listener);
    if (at == std::string::npos) {
        throw std::runtime_error("the broker recipe has no \"listener 8883\"");
    }
    return recipe.replace(at, listener.size(), "listener " + std::to_string(port) + " 127.0.0.1");
}

void TestBroker::WriteConfiguration() {
    const std::string recipe = ReadText(std::string(MQTT_BROKER_RECIPE) + "/fleet.conf");
    const std::string acl = ReadText(std::string(MQTT_BROKER_RECIPE) + "/fleet.acl");
    if (recipe.empty() || acl.empty()) {
        throw std::runtime_error("the broker recipe is missing in " MQTT_BROKER_RECIPE);
    }
    directory.Write("acl", acl);
    mkdir(directory.Path("conf.d").c_str(), 0700);
    directory.Write("conf.d/fleet.conf", RecipeForTest(recipe, directory.Root(), port));
    // What Debian's own mosquitto.conf says around the recipe, as a test wants it.
    std::ostringstream configuration;
    configuration << "persistence false\n"
                  << "log_dest stderr\n"
                  << "user " << UserName() << "\n"
                  << "include_dir " << directory.Path("conf.d") << "\n";
    directory.Write("mosquitto.conf", configuration.str());
}

void TestBroker::Start() {
    pid = StartProgram({Program(MOSQUITTO_PROGRAM, "mosquitto"), "-c", directory.Path("mosquitto.conf")},
                       directory.Path("broker.log"));
    ++starts;
    if (!WaitForLog(" running", starts, coretest::Scaled(20).count())) {
        throw std::runtime_error("the broker did not start:\n" + Log());
    }
}

void TestBroker::Stop() {
    if (pid <= 0) {
        return;
    }
    kill(pid, SIGTERM);
    if (!WaitForProgramEnd(pid, coretest::Scaled(20).count())) {
        kill(pid, SIGKILL);
        WaitForProgramEnd(pid, coretest::Scaled(20).count());
    }
    pid = -1;
}

void TestBroker::AllowRecorder(bool allowed) {
    WritePasswords(allowed);
    if (pid <= 0) {
        return; // read when it starts
    }
    kill(pid, SIGHUP);
    ++reloads;
    if (!WaitForLog("Reloading config", reloads, coretest::Scaled(20).count())) {
        throw std::runtime_error("the broker did not reload its passwords");
    }
}

std::string TestBroker::Log() const { return ReadText(directory.Path("broker.log")); }

std::size_t TestBroker::LogCount(const std::string &text) const {
    std::size_t count = 0;
    for (const std::string &line : coretest::Lines(Log())) {
        count += line.find(text) != std::string::npos;
    }
    return count;
}

bool TestBroker::WaitForLog(const std::string &text, std::size_t count, double seconds) const {
    return coretest::WaitUntil([&] { return LogCount(text) >= count; }, coretest::Seconds(seconds));
}

} // namespace mqtttest
