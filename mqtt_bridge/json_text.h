#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// The JSON the bridge publishes: documents mapped from XML, event envelopes, answers.
//
// The mapping of an XML document: the document is the object of its root element ("kDVR",
// the same in every document, so not named). An element's object has its attributes as members
// first, each value a JSON number when it is a decimal integer of at most 15 digits without
// leading zeros (an optional '-' and a fraction allowed), a string otherwise; then one member per
// name of its child elements, an array of their objects in document order; then its text, when
// not only white space, as the member "#text". An attribute and a child element of one name: the
// attribute's member is "@name".
//
//   <?xml ?><kDVR><Memory ID="-2147483648" Throttling="0" Time="1700000000" /></kDVR>
//   {"Memory":[{"ID":-2147483648,"Throttling":0,"Time":1700000000}]}

// A JSON string literal, quotes included; bytes that are not valid UTF-8 become U+FFFD.
std::string JsonString(const std::string &text);
std::string Base64(const char *data, std::size_t length);
// Whether bytes can travel as a JSON string as they are: valid UTF-8 without control characters
// other than tab, line feed and carriage return.
bool IsPlainText(const char *data, std::size_t length);
// `"data":...,"encoding":"text"` or `"data":"<base64>","encoding":"base64"`, without braces.
std::string JsonDataMembers(const char *data, std::size_t length);
// The document's JSON, or nothing when the text is not a well-formed XML document (a nesting
// beyond the core's limit counts as malformed). Trailing NULs are ignored.
std::optional<std::string> XmlToJson(const char *text, std::size_t length);
// A JSON number or string for an attribute value, as the mapping above writes it.
std::string JsonValue(const std::string &attributeValue);
