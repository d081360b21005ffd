#include "core_document.h"

#include <cstdio>
#include <memory>
#include <optional>

#include <unistd.h>

#include "document_printing.h"
#include "regular_file.h"

namespace {

struct StreamCloser {
    void operator()(std::FILE *stream) const { std::fclose(stream); }
};

} // namespace

// The contents go to the library as an in-memory stream, so that its own reading (the empty file,
// the line ends) stays as it is.
bool CoreDocument::LoadFile(const std::string &name, TiXmlEncoding encoding) {
    SetValue(name);
    std::optional<std::string> contents = ReadRegularFile(name, MAX_FILE_BYTES);
    std::unique_ptr<std::FILE, StreamCloser> stream(contents ? fmemopen(contents->data(), contents->size(), "rb")
                                                             : nullptr);
    if (!stream) {
        SetError(TIXML_ERROR_OPENING_FILE, nullptr, nullptr, TIXML_ENCODING_UNKNOWN);
        return false;
    }
    return TiXmlDocument::LoadFile(stream.get(), encoding);
}

bool CoreDocument::LoadFileWithBackup(const std::string &name) {
    const std::string backup = name + ".bak";
    if (LoadFile(name)) {
        unlink(backup.c_str());
        return true;
    }
    if (!LoadFile(backup))
        return false;
    unlink(name.c_str());
    std::rename(backup.c_str(), name.c_str());
    return true;
}

bool CoreDocument::LoadFileOrBackup(const std::string &name) { return LoadFile(name) || LoadFile(name + ".bak"); }

bool CoreDocument::SafeSaveFile(const std::string &name, SaveStepHook hook) {
    const std::string pending = name + ".pending";
    std::string failure = WritePendingFile(pending, PrintFileForm(*this));
    if (!failure.empty())
        unlink(pending.c_str());
    else if (!SwapPendingIntoPlace(name, pending, name + ".bak", hook))
        failure = "xml file swap failed";
    if (failure.empty())
        return true;
    RecordOwnError(TIXML_ERROR_OPENING_FILE, {TIXML_ERROR_OPENING_FILE, std::move(failure)});
    return false;
}
