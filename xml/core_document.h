#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include <tinyxml.h>

#include "safe_save.h"

// The core's XML document: TinyXML's document with a nesting limit that the parser never goes
// beyond, loading that falls back to the backup of an interrupted save, and a save that never
// leaves the file half written.
//
// ErrorId(), ErrorDesc() and ClearError() hide the library's functions, which are not virtual:
// call them on a CoreDocument. Seen as a plain TiXmlDocument, a nesting failure reports
// TIXML_ERROR and a failed safe save TIXML_ERROR_OPENING_FILE, both with the library's texts.
//
// Like any TinyXML document, used by one thread at a time.
class CoreDocument : public TiXmlDocument {
public:
    // Above all of the library's error codes.
    static constexpr int TIXML_ERROR_NESTING_TOO_DEEP = 17;
    static constexpr const char *TIXML_ERROR_NESTING_TOO_DEEP_TEXT =
        "Elements nested too deeply (exceeds the configured maximum parse depth).";

    using TiXmlDocument::TiXmlDocument;

    // The deepest level at which a node starting with "<" is accepted; the root element is at 1.
    int maxParseDepth = 100;

    // The library's parse (LoadFile comes here too), which fails with
    // TIXML_ERROR_NESTING_TOO_DEEP, and no error location, at the first node beyond
    // maxParseDepth without reading it; an error of the library before that node wins.
    const char *Parse(const char *text, TiXmlParsingData *data = nullptr,
                      TiXmlEncoding encoding = TIXML_DEFAULT_ENCODING) override;

    // The largest file LoadFile reads, far above any configuration the core is given.
    static constexpr std::size_t MAX_FILE_BYTES = 4u << 20;

    // The library's LoadFile for a regular file of at most MAX_FILE_BYTES only; anything else
    // fails at once with TIXML_ERROR_OPENING_FILE (a FIFO is never waited for, and a huge or
    // endless file never read). Hides the library's overloads.
    bool LoadFile(const std::string &name, TiXmlEncoding encoding = TIXML_DEFAULT_ENCODING);

    // Loads `name`, or else its backup `name`.bak, which then becomes `name` again. A backup
    // beside a loaded file is deleted.
    bool LoadFileWithBackup(const std::string &name);

    // Loads `name`, or else `name`.bak, and changes neither: for files the core only reads.
    bool LoadFileOrBackup(const std::string &name);

    // Writes the file form to `name`.pending and swaps it in through `name`.bak. On failure the
    // error code is TIXML_ERROR_OPENING_FILE and the description the failure message.
    bool SafeSaveFile(const std::string &name, SaveStepHook hook = nullptr);

    int ErrorId() const;
    const char *ErrorDesc() const;
    void ClearError();

private:
    // An error whose code or text the library cannot record itself.
    struct OwnError {
        int id;
        std::string description;
    };

    // Records `error` over the library's error `libraryId`, replacing any earlier error.
    void RecordOwnError(int libraryId, OwnError error);

    std::optional<OwnError> ownError;
};
