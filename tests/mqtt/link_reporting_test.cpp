// How the link to the broker paces its attempts and what it says about them.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "mqtt_bridge/broker_probe.h"
#include "mqtt_bridge/outage_report.h"
#include "mqtt_bridge/reconnect_backoff.h"

namespace {

using std::chrono::milliseconds;

// ---- Back-off ----

TEST(ReconnectBackoff, DoublesUpToTheMaximumShortenedByAtMostAQuarter) {
    ReconnectBackoff backoff(milliseconds(1000), milliseconds(5000), 7);
    for (const long full : {1000, 2000, 4000, 5000, 5000}) {
        const milliseconds delay = backoff.Next();
        EXPECT_LE(delay.count(), full);
        EXPECT_GE(delay.count(), full - full / 4);
    }
    backoff.Reset();
    EXPECT_LE(backoff.Next().count(), 1000);
}

TEST(ReconnectBackoff, RecordersWithDifferentSeedsDoNotAllComeBackAtOnce) {
    ReconnectBackoff first(milliseconds(60000), milliseconds(60000), 1);
    ReconnectBackoff second(milliseconds(60000), milliseconds(60000), 2);
    EXPECT_NE(first.Next(), second.Next());
}

// ---- What is said ----

TEST(OutageReport, SaysOnceThatTheBrokerIsAwayHoweverOftenAttemptsFail) {
    OutageReport report("broker:8883");
    EXPECT_EQ(report.AttemptFailed("Connection refused"),
              "cannot reach the broker at broker:8883: Connection refused; retrying with back-off");
    for (int attempt = 0; attempt < 5; ++attempt) {
        EXPECT_FALSE(report.AttemptFailed(attempt % 2 ? "Connection refused" : "no answer from the broker"));
    }
    EXPECT_EQ(report.Connected(12), "connected to the broker at broker:8883 again; 12 messages dropped so far");
}

TEST(OutageReport, ALostConnectionBeginsANewOutage) {
    OutageReport report("broker:8883");
    EXPECT_EQ(report.Connected(0), "connected to the broker at broker:8883");
    EXPECT_EQ(report.ConnectionLost("connection lost"),
              "lost the broker at broker:8883: connection lost; retrying with back-off");
    EXPECT_FALSE(report.AttemptFailed("Connection refused"));
    EXPECT_EQ(report.Connected(3), "connected to the broker at broker:8883 again; 3 messages dropped so far");
    EXPECT_TRUE(report.AttemptFailed("Connection refused"));
}

TEST(OutageReport, NamesEachDifferentRefusalOncePerOutage) {
    OutageReport report("broker:8883");
    EXPECT_EQ(report.Refused("not authorised"), "the broker at broker:8883 refused the connection: not authorised");
    EXPECT_FALSE(report.Refused("not authorised"));
    EXPECT_FALSE(report.AttemptFailed("Connection refused"));
    EXPECT_TRUE(report.Refused("client identifier rejected"));
    report.Connected(0);
    report.ConnectionLost("connection lost");
    EXPECT_TRUE(report.Refused("not authorised"));
}

// ---- Reaching the broker ----

// A loopback port that takes connections (the kernel completes them before any accept).
class LoopbackListener {
public:
    LoopbackListener() : descriptor(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(descriptor, reinterpret_cast<sockaddr *>(&address), length) != 0 || listen(descriptor, 8) != 0 ||
            getsockname(descriptor, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
            ADD_FAILURE() << "no loopback listener";
        }
        port = ntohs(address.sin_port);
    }
    ~LoopbackListener() { close(descriptor); }
    LoopbackListener(const LoopbackListener &) = delete;
    LoopbackListener &operator=(const LoopbackListener &) = delete;

    int Port() const { return port; }

private:
    int descriptor;
    int port = 0;
};

TEST(BrokerProbe, AWakeForOtherWorkDoesNotEndTheAttemptButAStopDoes) {
    LoopbackListener broker;
    const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ASSERT_GE(wake, 0);
    const uint64_t one = 1;
    ASSERT_EQ(write(wake, &one, sizeof one), static_cast<ssize_t>(sizeof one));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::atomic<bool> stopping{false};
    // A document to publish woke the link while it connected: the broker is reached all the same,
    // and the wake is left for the link to serve.
    EXPECT_EQ(ProbeBroker("127.0.0.1", broker.Port(), wake, stopping, deadline), "");
    uint64_t pending = 0;
    EXPECT_EQ(read(wake, &pending, sizeof pending), static_cast<ssize_t>(sizeof pending));
    stopping = true;
    EXPECT_EQ(ProbeBroker("127.0.0.1", broker.Port(), wake, stopping, deadline), "stopping");
    close(wake);
}

} // namespace
