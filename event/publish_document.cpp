// XML documents raised as events by the core itself.
#include <string>

#include "core/dvrcore.h"
#include "plugin_call_records.h"
#include "xml/document_printing.h"

// The event carries the text without a NUL. PluginEvent copies it; a
// document refused while stopping is dropped without a word.
void dvrcore::PublishDocument(const TiXmlDocument &document, uint32_t eventClass) {
    std::string text = PrintCompact(document);
    _EventParmsIn in = EventRecord(CORE_SOURCE, eventClass, TYPE_FROM_CORE | TYPE_DOCUMENT,
                                   static_cast<uint32_t>(text.size()), text.data());
    _EventParmsOut out = EventResultRecord();
    PluginEvent(&in, &out);
}
