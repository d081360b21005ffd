// What the bridge writes for operators: JSON, its own documents, answers, the system log's
// datagrams, discovery, and text from the broker made printable.
#include <string>

#include <gtest/gtest.h>

#include "mqtt_bridge/answer_book.h"
#include "mqtt_bridge/answers.h"
#include "mqtt_bridge/bridge_status.h"
#include "mqtt_bridge/device_info.h"
#include "mqtt_bridge/discovery.h"
#include "mqtt_bridge/json_text.h"
#include "mqtt_bridge/system_log.h"
#include "mqtt_bridge/text_safety.h"
#include "mqtt_bridge/utf8_sequence.h"

namespace {

std::string Json(const std::string &xml) { return XmlToJson(xml.data(), xml.size()).value_or("<none>"); }

// ---- JSON ----

TEST(JsonMapping, AttributesBecomeMembersNumbersNumbersAndChildrenArrays) {
    EXPECT_EQ(Json("<?xml ?><kDVR><Memory ID=\"-2147483648\" Throttling=\"0\" Time=\"1700000000\" /></kDVR>"),
              "{\"Memory\":[{\"ID\":-2147483648,\"Throttling\":0,\"Time\":1700000000}]}");
    EXPECT_EQ(
        Json("<kDVR Delta=\"0\"><Modules><Module Version=\"19.09.4.0\"><Plugin ID=\"1\" /><Plugin ID=\"2\" />"
             "</Module></Modules></kDVR>"),
        "{\"Delta\":0,\"Modules\":[{\"Module\":[{\"Version\":\"19.09.4.0\",\"Plugin\":[{\"ID\":1},{\"ID\":2}]}]}]}");
    // Only plain decimals are numbers: no leading zeros, no exponents, at most 15 digits.
    EXPECT_EQ(Json("<r a=\"007\" b=\"1.5\" c=\"1e3\" d=\"-0\" e=\"1234567890123456\" f=\"\" g=\"-\" />"),
              "{\"a\":\"007\",\"b\":1.5,\"c\":\"1e3\",\"d\":-0,\"e\":\"1234567890123456\",\"f\":\"\",\"g\":\"-\"}");
    EXPECT_EQ(Json("<r Name=\"x\"><Name /> text &amp; more </r>"),
              "{\"@Name\":\"x\",\"Name\":[{}],\"#text\":\"text & more\"}");
    EXPECT_EQ(Json(std::string("<r />\0\0", 7)), "{}");
}

TEST(JsonMapping, MalformedOrTooDeepDocumentsHaveNoJson) {
    EXPECT_EQ(Json("<kDVR><Memory"), "<none>");
    std::string deep;
    for (int level = 0; level < 200; ++level) {
        deep += "<a>";
    }
    EXPECT_EQ(Json(deep), "<none>");
}

TEST(JsonText, StringsAreEscapedAndInvalidUtf8Replaced) {
    EXPECT_EQ(JsonString("a\"b\\c\n\t\x01\x7F"), "\"a\\\"b\\\\c\\n\\t\\u0001\\u007F\"");
    EXPECT_EQ(JsonString("caf\xC3\xA9 \xFF"), "\"caf\xC3\xA9 \xEF\xBF\xBD\"");
    EXPECT_EQ(Base64("", 0), "");
    EXPECT_EQ(Base64("f", 1), "Zg==");
    EXPECT_EQ(Base64("foobar", 6), "Zm9vYmFy");
    EXPECT_EQ(JsonDataMembers("frame 1", 7), "\"data\":\"frame 1\",\"encoding\":\"text\"");
    EXPECT_EQ(JsonDataMembers("\x00\x01\x02", 3), "\"data\":\"AAEC\",\"encoding\":\"base64\"");
}

// Both the JSON strings and the printable text rest on this decoder.
TEST(Utf8Sequence, OnlyShortestFormsOfScalarValuesAreValid) {
    auto length = [](const std::string &bytes) {
        uint32_t codePoint = 0;
        return DecodeUtf8(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), codePoint);
    };
    uint32_t codePoint = 0;
    EXPECT_EQ(DecodeUtf8(reinterpret_cast<const unsigned char *>("\xF4\x8F\xBF\xBF"), 4, codePoint), 4u);
    EXPECT_EQ(codePoint, 0x10FFFFu);
    EXPECT_EQ(length("\xC3\xA9"), 2u);
    EXPECT_EQ(length("\xC0\xAF"), 0u);         // overlong '/'
    EXPECT_EQ(length("\xE0\x80\xAF"), 0u);     // overlong '/'
    EXPECT_EQ(length("\xED\xA0\x80"), 0u);     // a surrogate
    EXPECT_EQ(length("\xF4\x90\x80\x80"), 0u); // beyond U+10FFFF
    EXPECT_EQ(length("\xE2\x82"), 0u);         // cut off
    EXPECT_EQ(length("\xC3("), 0u);            // no continuation byte
    EXPECT_EQ(length("\x80"), 0u);             // a continuation byte alone
}

// ---- Answers and the bridge's documents ----

TEST(Answers, EveryStatusInBothForms) {
    EXPECT_EQ(AnswerText({"poke", "accepted", 0, "", std::nullopt, ""}, DocumentForm::Xml),
              "<?xml ?><kDVR><Answer Command=\"poke\" Status=\"accepted\" Result=\"0\" /></kDVR>");
    EXPECT_EQ(AnswerText({"x", "refused", std::nullopt, "unknown \"x\"", std::nullopt, ""}, DocumentForm::Json),
              "{\"command\":\"x\",\"status\":\"refused\",\"reason\":\"unknown \\\"x\\\"\"}");
    EXPECT_EQ(AnswerText({"ask", "answered", std::nullopt, "", 0x00C50000u, "a<b"}, DocumentForm::Xml),
              "<?xml ?><kDVR><Answer Command=\"ask\" Status=\"answered\" Source=\"00C50000\">a&lt;b</Answer></kDVR>");
    EXPECT_EQ(AnswerText({"ask", "answered", std::nullopt, "", 0x00C50000u, std::string("\0\1", 2)}, DocumentForm::Xml),
              "<?xml ?><kDVR><Answer Command=\"ask\" Status=\"answered\" Source=\"00C50000\" "
              "Encoding=\"base64\">AAE=</Answer></kDVR>");
}

TEST(BridgeDocument, CountsAndTheLastErrorWithItsTime) {
    BridgeStatus::Counts counts;
    counts.published = 7;
    counts.queued = 2;
    EXPECT_EQ(BridgeDocument(counts, "", 0),
              "<?xml ?><kDVR><Bridge Published=\"7\" Queued=\"2\" Dropped=\"0\" Reconnects=\"0\" RefusedCommands=\"0\" "
              "/></kDVR>");
    EXPECT_NE(BridgeDocument(counts, "refused: \"not authorised\"", 1700000000)
                  .find("LastError=\"refused: &quot;not authorised&quot;\" LastErrorTime=\"2023-11-14T22:13:20Z\""),
              std::string::npos);
}

TEST(DeviceInfo, CountsPluginsFromTheModulesReportAndShowsTheCrashReport) {
    DeviceInfo info("hall", 1700000000);
    const std::string report =
        "<?xml ?><kDVR Delta=\"0\"><Modules><Module ID=\"-2147483648\" Name=\"Core\" Version=\"19.09.4.0\">"
        "<Plugin ID=\"-2147483648\" Filename=\"core\" OpenCode=\"0\" /><Plugin ID=\"5046272\" Filename=\"a.so\" "
        "OpenCode=\"0\" /><Plugin ID=\"12648448\" Filename=\"b.so\" OpenCode=\"3\" /><Plugin ID=\"1\" "
        "Filename=\"c.so\" "
        "OpenCode=\"79\" /></Module><Module ID=\"1\" Name=\"c.so\" Version=\"cannot open\" /></Modules></kDVR>";
    info.SetModulesReport(report.data(), report.size());
    const std::string crash =
        std::string("<?xml ?><kDVR><CrashReport signal=\"SIGSEGV\" plugin=\"b.so\" /></kDVR>") + '\0';
    info.SetCrashReport(crash.data(), crash.size());
    EXPECT_TRUE(info.Changed());
    const std::string text = info.Text(1700000090);
    EXPECT_FALSE(info.Changed());
    EXPECT_NE(text.find("<Info CoreVersion=\"19.09.4.0\""), std::string::npos) << text;
    EXPECT_NE(text.find(" Device=\"hall\" StartTime=\"2023-11-14T22:13:20Z\" Uptime=\"90\" PluginsLoaded=\"2\" "
                        "PluginsOpened=\"1\" PluginsRefused=\"1\" Throttling=\"0\"><Refused Filename=\"c.so\" "
                        "Reason=\"cannot open\" /><CrashReport signal=\"SIGSEGV\" plugin=\"b.so\" /></Info>"),
              std::string::npos)
        << text;
}

TEST(AnswerBook, EachRequestIsAnsweredOnceByThePluginOrByItsDeadline) {
    AnswerBook book;
    const auto now = AnswerBook::Clock::now();
    const uint32_t first = book.NextNumber();
    const uint32_t second = book.NextNumber();
    EXPECT_NE(first, 0u);
    EXPECT_NE(first, second);
    book.Open({first, "ask", "t", "c", 5, now + std::chrono::seconds(5)});
    book.Open({second, "ask", "t", "", 1, now + std::chrono::seconds(1)});
    EXPECT_EQ(book.NextDeadline(), now + std::chrono::seconds(1));
    ASSERT_TRUE(book.Resolve(first));
    EXPECT_FALSE(book.Resolve(first));
    const auto expired = book.Expire(now + std::chrono::seconds(2));
    ASSERT_EQ(expired.size(), 1u);
    EXPECT_EQ(expired[0].number, second);
    EXPECT_FALSE(book.Resolve(second));
    EXPECT_FALSE(book.NextDeadline());
}

// ---- The system log and printable text ----

TEST(SystemLog, DatagramsCarryTheBridgesOwnNameAtWarningWithoutControlCharacters) {
    const std::string datagram = SystemLogDatagram("refused on a/\x1b[2Jb", 42, 0);
    EXPECT_EQ(datagram.rfind("<12>", 0), 0u) << datagram;
    EXPECT_NE(datagram.find(" dvrcore-mqtt-bridge[42]: refused on a/?[2Jb"), std::string::npos) << datagram;
}

TEST(PrintableText, ControlCharactersInAnyEncodingBecomeQuestionMarks) {
    EXPECT_EQ(PrintableText(std::string("a\x1b[31mb\x07\x7F")), "a?[31mb??");
    EXPECT_EQ(PrintableText(std::string("\xC2\x9B"
                                        "2J caf\xC3\xA9")),
              "?2J caf\xC3\xA9");                            // C1 CSI in UTF-8
    EXPECT_EQ(PrintableText(std::string("\x9B\xFF")), "??"); // raw, invalid
    EXPECT_EQ(PrintableText(std::string(300, 'x')).size(), 200u);
    EXPECT_EQ(PrintableText(std::string("ab\xC3\xA9"), 3), "ab"); // never half a character
}

// ---- Discovery ----

TEST(Discovery, ConfigurationsPerEntityAndRemovalsOnTheSameTopics) {
    const TopicScheme topics("dvr", "hall.2");
    const auto configs = DiscoveryConfigurations("homeassistant", "hall.2", topics, "19.09.4.0");
    const auto removals = DiscoveryRemovals("homeassistant", "hall.2", topics);
    ASSERT_EQ(configs.size(), 5u);
    ASSERT_EQ(removals.size(), configs.size());
    EXPECT_EQ(configs[0].topic, "homeassistant/binary_sensor/hall_2/connection/config");
    EXPECT_NE(configs[0].payload.find("\"state_topic\":\"dvr/hall.2/state\""), std::string::npos);
    EXPECT_NE(configs[2].payload.find("\"state_topic\":\"dvr/hall.2/info\""), std::string::npos);
    for (std::size_t i = 0; i < configs.size(); ++i) {
        EXPECT_EQ(removals[i].topic, configs[i].topic);
        EXPECT_TRUE(removals[i].payload.empty());
    }
}

} // namespace
