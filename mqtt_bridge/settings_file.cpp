#include "mqtt_bridge/settings_file.h"

#include <utility>

#include "mqtt_bridge/file_reading.h"

namespace {

LoadedSettings Broken(std::string problem) {
    LoadedSettings loaded;
    loaded.state = LoadedSettings::State::Broken;
    loaded.problem = std::move(problem);
    return loaded;
}

// The document's parse error, with its line when the parser knows it.
std::string ParseProblem(const std::string &path, const CoreDocument &document) {
    const std::string line = document.ErrorRow() > 0 ? " line " + std::to_string(document.ErrorRow()) : "";
    return path + line + ": " + document.ErrorDesc();
}

// The password: the file's first line, without its line end.
std::string FirstLine(const std::string &text) {
    std::string line = text.substr(0, text.find('\n'));
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

} // namespace

LoadedSettings LoadSettings(const std::string &path, const std::string &defaultDevice) {
    const FileText file = ReadFileText(path, SETTINGS_SIZE_LIMIT, FileAccess::Any);
    if (file.missing) {
        return {};
    }
    if (!file.error.empty()) {
        return Broken(file.error);
    }
    CoreDocument document;
    document.Parse(file.text.c_str());
    if (document.Error()) {
        return Broken(ParseProblem(path, document));
    }
    ParsedSettings parsed = ParseSettings(document, defaultDevice);
    if (!parsed.settings) {
        return Broken(path + ": " + parsed.error);
    }
    LoadedSettings loaded;
    loaded.settings = std::move(*parsed.settings);
    if (!loaded.settings.passwordFile.empty()) {
        const FileText secret = ReadFileText(loaded.settings.passwordFile, PASSWORD_SIZE_LIMIT, FileAccess::Private);
        if (!secret.error.empty()) {
            return Broken("password file " + secret.error);
        }
        loaded.password = FirstLine(secret.text);
        if (loaded.password.empty()) {
            return Broken("password file " + loaded.settings.passwordFile + ": the first line is empty");
        }
    }
    if (!loaded.settings.tls.keyFile.empty()) {
        const std::string problem = PrivateFileProblem(loaded.settings.tls.keyFile);
        if (!problem.empty()) {
            return Broken("key file " + problem);
        }
    }
    loaded.state = LoadedSettings::State::Ready;
    return loaded;
}
