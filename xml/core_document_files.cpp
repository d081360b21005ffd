#include "xml/core_document.h"

#include <cstdio>

#include <unistd.h>

#include "xml/document_printing.h"

bool CoreDocument::LoadFileWithBackup(const std::string& name)
{
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

bool CoreDocument::SafeSaveFile(const std::string& name, SaveStepHook hook)
{
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
