// How the link to the broker paces its attempts and what it says about them.
#include <chrono>
#include <string>

#include <gtest/gtest.h>

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

} // namespace
