// What the bridge publishes where, and what commands become.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "mqtt_bridge/command_topics.h"
#include "mqtt_bridge/document_names.h"
#include "mqtt_bridge/event_routing.h"
#include "mqtt_bridge/topics.h"

namespace {

const TopicScheme TOPICS("site/dvr", "hall");

// ---- Commands ----

class Commands : public ::testing::Test {
protected:
    CommandTranslator Translator(bool numeric) const {
        return CommandTranslator(TOPICS.CommandPrefix(), {{"frame", 0x8, 0x100}, {"poke", 0x1, 0x40}}, numeric);
    }
    static std::string Refusal(const TranslatedCommand &command) {
        EXPECT_FALSE(command.event);
        return command.refusal;
    }
};

TEST_F(Commands, NamedCommandsBecomeTheirEvents) {
    const TranslatedCommand command = Translator(false).Translate("site/dvr/hall/command/poke", 5);
    ASSERT_TRUE(command.event) << command.refusal;
    EXPECT_EQ(command.event->eventClass, 0x1u);
    EXPECT_EQ(command.event->eventType, 0x40u);
    EXPECT_EQ(Refusal(Translator(false).Translate("site/dvr/hall/command/pokes", 5)), "unknown command");
    EXPECT_EQ(Refusal(Translator(false).Translate("site/dvr/hall/command/", 0)), "unknown command");
}

TEST_F(Commands, NumericCommandsOnlyWhenAllowedAndOnlyForMaskClasses) {
    EXPECT_EQ(Refusal(Translator(false).Translate("site/dvr/hall/command/8/100", 0)),
              "numeric commands are not allowed");
    const TranslatedCommand command = Translator(true).Translate("site/dvr/hall/command/0x400/0x2A", 0);
    ASSERT_TRUE(command.event) << command.refusal;
    EXPECT_EQ(command.event->eventClass, 0x400u);
    EXPECT_EQ(command.event->eventType, 0x2Au);
    for (const char *bad : {"200/1", "2000/1", "100/10", "0/1", "1/1000000"}) {
        EXPECT_EQ(Refusal(Translator(true).Translate(std::string("site/dvr/hall/command/") + bad, 0)),
                  "class or type not allowed for commands")
            << bad;
    }
    for (const char *malformed : {"zz/1", "1/", "/1", "1/2/3", "-1/2", "123456789/1"}) {
        EXPECT_FALSE(Translator(true).Translate(std::string("site/dvr/hall/command/") + malformed, 0).event)
            << malformed;
    }
}

TEST_F(Commands, OversizedPayloadsAndForeignTopicsAreRefused) {
    EXPECT_TRUE(Translator(false).Translate("site/dvr/hall/command/frame", CommandTranslator::PAYLOAD_LIMIT).event);
    EXPECT_NE(Refusal(Translator(false).Translate("site/dvr/hall/command/frame", CommandTranslator::PAYLOAD_LIMIT + 1))
                  .find("above 65536"),
              std::string::npos);
    EXPECT_EQ(Refusal(Translator(false).Translate("site/dvr/other/command/frame", 0)), "not a command topic");
}

// ---- Delivered events ----

_WriteParmsIn Delivered(uint32_t source, uint32_t eventClass, uint32_t eventType, const char *data, uint32_t length) {
    _WriteParmsIn in;
    std::memset(&in, 0, sizeof in);
    in.Size = sizeof in;
    in.Version = 1;
    in.Source = source;
    in.EventClass = eventClass;
    in.EventType = eventType;
    in.Data = const_cast<char *>(data);
    in.DataLength = length;
    return in;
}

_WriteParmsIn LogLine(uint32_t source, uint32_t level, const char *text, uint32_t length) {
    _WriteParmsIn in = Delivered(source, CLASS_LOG, TYPE_LOG_TEXT | TYPE_FROM_CORE, text, length);
    in.Params[EVENT_PARAM_LEVEL] = level;
    return in;
}

class Routing : public ::testing::Test {
protected:
    Routing() {
        settings.minimumLogLevel = 50;
        settings.events = {{0x8, 0x100, 0x00E40000u}, {0x10 | 0x400, 0x02000003, std::nullopt}};
    }
    EventRouter Router() const { return EventRouter(settings, TOPICS); }
    static std::string Payload(const EventRouter::Route &route) { return std::string(route.data, route.length); }

    BridgeSettings settings;
};

TEST_F(Routing, AsksForEveryLogLineAndStatusDocumentAndTheRulesTypes) {
    uint32_t masks[EVENT_MASK_COUNT] = {};
    Router().FillMasks(masks);
    EXPECT_EQ(masks[2], 0xFFFFFFFFu);
    EXPECT_EQ(masks[6], 0xFFFFFFFFu);
    EXPECT_EQ(masks[3], 0x100u);
    EXPECT_EQ(masks[4], 0x02000003u);
    EXPECT_EQ(masks[8], 0x02000003u | 0x00400000u); // and the plugins' answers to commands
    EXPECT_EQ(masks[0], 0u);
    settings.publishLog = false;
    uint32_t quiet[EVENT_MASK_COUNT] = {};
    Router().FillMasks(quiet);
    EXPECT_EQ(quiet[6], 0u);
}

TEST_F(Routing, LogLinesFromTheMinimumLevelUpGoToTheirSourceAndLevel) {
    const char text[] = "disk full\0garbage";
    const EventRouter::Route route = Router().ForEvent(LogLine(0x80000000u, 100, text, sizeof text));
    EXPECT_EQ(route.kind, EventRouter::Route::Kind::Message);
    EXPECT_EQ(route.topic, "site/dvr/hall/log/80000000/100");
    EXPECT_EQ(Payload(route), "disk full");
    // Without a NUL within its length, the text ends there.
    EXPECT_EQ(Payload(Router().ForEvent(LogLine(0x00E10000u, 50, "tick 12", 4))), "tick");
    EXPECT_EQ(Router().ForEvent(LogLine(0x00E10000u, 49, "tick", 5)).kind, EventRouter::Route::Kind::None);
    settings.publishLog = false;
    EXPECT_EQ(Router().ForEvent(LogLine(0x00E10000u, 100, "tick", 5)).kind, EventRouter::Route::Kind::None);
}

TEST_F(Routing, StatusDocumentsAreRetainedUnderTheirFirstElement) {
    const char document[] = "<?xml ?><kDVR><Memory ID=\"-2147483648\" Throttling=\"0\" Time=\"1\" /></kDVR>";
    const EventRouter::Route route = Router().ForEvent(
        Delivered(0x80000000u, CLASS_STATUS, TYPE_DOCUMENT | TYPE_FROM_CORE, document, sizeof document - 1));
    EXPECT_EQ(route.kind, EventRouter::Route::Kind::Document);
    EXPECT_EQ(route.topic, "site/dvr/hall/status/80000000/Memory");
    EXPECT_EQ(Payload(route), document);
    EXPECT_EQ(Router().ForEvent(Delivered(0x00B10000u, CLASS_STATUS, TYPE_DOCUMENT, "<x", 2)).topic,
              "site/dvr/hall/status/00B10000/document");
}

TEST_F(Routing, OtherEventsNeedARuleThatCoversTheirClassTypeAndSource) {
    const EventRouter::Route route = Router().ForEvent(Delivered(0x00E40000u, 0x8, 0x100, "frame 1", 7));
    EXPECT_EQ(route.kind, EventRouter::Route::Kind::Message);
    EXPECT_EQ(route.topic, "site/dvr/hall/event/00E40000/00000008/00000100");
    EXPECT_EQ(Payload(route), "frame 1");
    EXPECT_EQ(Router().ForEvent(Delivered(0x00E50000u, 0x8, 0x100, "x", 1)).kind, EventRouter::Route::Kind::None);
    EXPECT_EQ(Router().ForEvent(Delivered(0x00E40000u, 0x8, 0x101, "x", 1)).kind, EventRouter::Route::Kind::None);
    // The rule's types are a mask of delivery values: type bit 24 counts as bit 25.
    EXPECT_EQ(Router().ForEvent(Delivered(7, 0x400, 0x01000001, nullptr, 0)).kind, EventRouter::Route::Kind::Message);
    EXPECT_EQ(Router().ForEvent(Delivered(7, 0x10, 0x02000001, nullptr, 0)).kind, EventRouter::Route::Kind::None);
    // A status-class event that is no document goes by the rules too.
    EXPECT_EQ(Router().ForEvent(Delivered(7, CLASS_STATUS, 0x1, nullptr, 0)).kind, EventRouter::Route::Kind::None);
}

TEST_F(Routing, OfTheConfigurationDocumentsOnlyTheModulesReportIsPublished) {
    const char report[] = "<?xml ?><kDVR Delta=\"0\"><Modules TotalLoadTimeMs=\"0\"><Module /></Modules></kDVR>";
    const EventRouter::Route route = Router().ForConfiguration(report, sizeof report - 1);
    EXPECT_EQ(route.kind, EventRouter::Route::Kind::Document);
    EXPECT_EQ(route.topic, "site/dvr/hall/modules");
    const char configuration[] = "<?xml ?><kDVR Delta=\"0\"><Memory ID=\"-2147483648\" /><Product /></kDVR>";
    EXPECT_EQ(Router().ForConfiguration(configuration, sizeof configuration - 1).kind, EventRouter::Route::Kind::None);
    EXPECT_EQ(Router().ForConfiguration(nullptr, 0).kind, EventRouter::Route::Kind::None);
}

// ---- Document names ----

std::string NameIn(const std::string &text) { return FirstElementInRoot(text.data(), text.size()); }

TEST(DocumentNames, FindTheFirstElementInsideTheRoot) {
    EXPECT_EQ(NameIn("<?xml ?><kDVR><Memory ID=\"1\" /></kDVR>"), "Memory");
    EXPECT_EQ(NameIn("<?xml version=\"1.0\"?>\n<!-- <No/> --><kDVR a=\"x>y\" b='/>'>\n  <![CDATA[<No/>]]>"
                     "<!-- <No/> --><Modules>"),
              "Modules");
    EXPECT_EQ(NameIn("<kDVR><ns:Camera.1-a/></kDVR>"), "ns:Camera.1-a");
}

TEST(DocumentNames, GiveNothingForDocumentsWithoutAUsableName) {
    for (const char *text : {"", "<kDVR />", "<kDVR></kDVR>", "<kDVR>text only", "<kDVR><Memory", "<kDVR><#/>",
                             "<kDVR><Memory\xC3\xA9 /></kDVR>", "<kDVR attribute=\"never closed"}) {
        EXPECT_EQ(NameIn(text), "") << text;
    }
    EXPECT_EQ(NameIn("<kDVR><" + std::string(65, 'a') + " /></kDVR>"), "");
    EXPECT_EQ(NameIn("<kDVR><" + std::string(64, 'a') + " /></kDVR>"), std::string(64, 'a'));
    EXPECT_EQ(FirstElementInRoot(nullptr, 10), "");
}

} // namespace
