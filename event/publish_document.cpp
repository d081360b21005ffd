// XML documents raised as events by the core itself.
#include <string>

#include "core/dvrcore.h"
#include "xml/document_printing.h"

// The event carries the text without a NUL. PluginEvent copies it; a
// document refused while stopping is dropped without a word.
void dvrcore::PublishDocument(const TiXmlDocument &document, uint32_t eventClass) {
    std::string text = PrintCompact(document);
    _EventParmsIn in{};
    in.Size = sizeof in;
    in.Version = 1;
    in.DataLength = static_cast<uint32_t>(text.size());
    in.Data = text.data();
    in.Source = CORE_SOURCE;
    in.EventClass = eventClass;
    in.EventType = TYPE_FROM_CORE | TYPE_DOCUMENT;
    _EventParmsOut out{sizeof out, 1, EVENT_OK};
    PluginEvent(&in, &out);
}
