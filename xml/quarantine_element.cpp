#include "quarantine_element.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "xml_text.h"

namespace {

// A whole decimal number without sign, as the core writes them.
bool ParseUnsigned(const char *text, uint64_t &value) {
    if (text == nullptr || *text < '0' || *text > '9') {
        return false;
    }
    errno = 0;
    char *end = nullptr;
    value = std::strtoull(text, &end, 10);
    return errno == 0 && *end == '\0';
}

bool ParseModified(const char *text, LibraryFile &file) {
    if (text == nullptr) {
        return false;
    }
    const std::string whole(text);
    const std::size_t point = whole.find('.');
    uint64_t seconds = 0;
    uint64_t nanoseconds = 0;
    if (point == std::string::npos || !ParseUnsigned(whole.substr(0, point).c_str(), seconds) ||
        !ParseUnsigned(whole.substr(point + 1).c_str(), nanoseconds) || nanoseconds >= 1000000000u) {
        return false;
    }
    file.modifiedSeconds = static_cast<int64_t>(seconds);
    file.modifiedNanoseconds = static_cast<int64_t>(nanoseconds);
    return true;
}

bool ReadLibrary(const TiXmlElement &element, CrashedLibrary &library) {
    const char *path = element.Attribute("Path");
    uint64_t crashes = 0;
    if (path == nullptr || *path == '\0' || !ParseUnsigned(element.Attribute("Device"), library.file.device) ||
        !ParseUnsigned(element.Attribute("Inode"), library.file.inode) ||
        !ParseUnsigned(element.Attribute("Size"), library.file.size) ||
        !ParseModified(element.Attribute("Modified"), library.file) ||
        !ParseUnsigned(element.Attribute("Crashes"), crashes) || crashes > UINT32_MAX) {
        return false;
    }
    library.path = path;
    library.crashes = static_cast<uint32_t>(crashes);
    return true;
}

} // namespace

QuarantineSettings ReadQuarantineElement(const TiXmlDocument &coreXml) {
    QuarantineSettings settings;
    const TiXmlElement *root = coreXml.FirstChildElement();
    const TiXmlElement *quarantine = root != nullptr ? root->FirstChildElement("Quarantine") : nullptr;
    if (quarantine == nullptr) {
        return settings;
    }
    settings.present = true;
    uint64_t crashes = 0;
    if (ParseUnsigned(quarantine->Attribute("Crashes"), crashes) && crashes <= UINT32_MAX) {
        settings.crashes = static_cast<uint32_t>(crashes);
    }
    for (const TiXmlElement *element = quarantine->FirstChildElement("Library"); element != nullptr;
         element = element->NextSiblingElement("Library")) {
        CrashedLibrary library;
        if (ReadLibrary(*element, library)) {
            settings.libraries.push_back(library);
        }
    }
    return settings;
}

std::string ModifiedText(const LibraryFile &file) {
    char text[48];
    std::snprintf(text, sizeof text, "%lld.%09lld", static_cast<long long>(file.modifiedSeconds),
                  static_cast<long long>(file.modifiedNanoseconds));
    return text;
}

void AddQuarantineElement(TiXmlDocument &coreXml, const QuarantineSettings &settings) {
    TiXmlElement *root = coreXml.RootElement();
    if (root == nullptr || (!settings.present && settings.libraries.empty())) {
        return;
    }
    TiXmlElement quarantine("Quarantine");
    quarantine.SetAttribute("Crashes", std::to_string(settings.crashes));
    for (const CrashedLibrary &crashed : settings.libraries) {
        TiXmlElement library("Library");
        library.SetAttribute("Path", XmlSafeText(crashed.path));
        library.SetAttribute("Device", std::to_string(crashed.file.device));
        library.SetAttribute("Inode", std::to_string(crashed.file.inode));
        library.SetAttribute("Size", std::to_string(crashed.file.size));
        library.SetAttribute("Modified", ModifiedText(crashed.file));
        library.SetAttribute("Crashes", std::to_string(crashed.crashes));
        quarantine.InsertEndChild(library);
    }
    root->InsertEndChild(quarantine);
}
