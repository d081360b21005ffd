#pragma once

#include <tinyxml.h>

// A document as the core sends and writes them: the declaration, then the
// root "kDVR" holding a copy of `content`.
//
// Threads: pure, for any thread.
TiXmlDocument KdvrDocument(const TiXmlElement &content);
