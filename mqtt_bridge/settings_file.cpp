#include "mqtt_bridge/settings_file.h"

#include <cerrno>
#include <utility>

#include <unistd.h>

#include "mqtt_bridge/file_reading.h"
#include "plugin/plugin_trust.h"

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

// A file the settings name, read whole to see that it can be used; empty, or why not.
std::string NamedFileProblem(const std::string &what, const std::string &path, std::size_t limit, FileAccess access) {
    // Read first: a missing file or a FIFO is named as such, whoever may write it.
    std::string problem = ReadFileText(path, limit, access).error;
    if (problem.empty()) {
        problem = UntrustedFileProblem(path);
    }
    return problem.empty() ? "" : what + " " + problem;
}

std::string TlsProblem(const TlsSettings &tls) {
    if (!tls.enabled) {
        return "";
    }
    std::string problem = NamedFileProblem("CA file", tls.caFile, TLS_FILE_SIZE_LIMIT, FileAccess::Any);
    if (problem.empty() && !tls.certFile.empty()) {
        problem = NamedFileProblem("certificate file", tls.certFile, TLS_FILE_SIZE_LIMIT, FileAccess::Any);
    }
    if (problem.empty() && !tls.keyFile.empty()) {
        problem = NamedFileProblem("key file", tls.keyFile, TLS_FILE_SIZE_LIMIT, FileAccess::Private);
    }
    return problem;
}

} // namespace

std::string UntrustedFileProblem(const std::string &path) {
    if (geteuid() != 0) {
        return "";
    }
    const std::string problem = PluginTrustProblem(path, getuid());
    return problem.empty() ? "" : path + ": untrusted: " + problem;
}

LoadedSettings LoadSettings(const std::string &path, const std::string &defaultDevice) {
    if (access(path.c_str(), F_OK) != 0 && errno == ENOENT) {
        return {};
    }
    if (const std::string problem = UntrustedFileProblem(path); !problem.empty()) {
        return Broken(problem);
    }
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
        if (const std::string problem = UntrustedFileProblem(loaded.settings.passwordFile); !problem.empty()) {
            return Broken("password file " + problem);
        }
        const FileText secret = ReadFileText(loaded.settings.passwordFile, PASSWORD_SIZE_LIMIT, FileAccess::Private);
        if (!secret.error.empty()) {
            return Broken("password file " + secret.error);
        }
        loaded.password = FirstLine(secret.text);
        if (loaded.password.empty()) {
            return Broken("password file " + loaded.settings.passwordFile + ": the first line is empty");
        }
    }
    if (const std::string problem = TlsProblem(loaded.settings.tls); !problem.empty()) {
        return Broken(problem);
    }
    loaded.state = LoadedSettings::State::Ready;
    return loaded;
}
