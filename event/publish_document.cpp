// XML documents raised as events by the core itself.
#include "core/dvrcore.h"

void dvrcore::PublishDocument(const TiXmlDocument &, uint32_t) {}

void dvrcore::PublishModulesReport() {}

void dvrcore::LoadConfiguration() {}

void dvrcore::PublishConfiguration() {}
