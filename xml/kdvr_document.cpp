#include "kdvr_document.h"

TiXmlDocument KdvrDocument(const TiXmlElement &content) {
    TiXmlElement root("kDVR");
    root.InsertEndChild(content);
    TiXmlDocument document;
    document.InsertEndChild(TiXmlDeclaration("", "", ""));
    document.InsertEndChild(root);
    return document;
}
