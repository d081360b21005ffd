#pragma once

#include <cstddef>
#include <string>

#include "mqtt_bridge/settings.h"
#include "xml/core_document.h"

// The settings file, read with the core's rules for XML files (a regular file of at most
// CoreDocument::MAX_FILE_BYTES, elements nested at most 100 deep), and the files it names: the
// password, and the TLS authority, certificate and key, each read the same way (a regular file,
// opened without blocking, of bounded size), so that a missing, unreadable or odd file keeps the
// bridge off naming it. When the core runs as root, the settings file and every file it names
// must pass the core's trust rule for plugin libraries (owned by root or the core's user, in a
// directory likewise, writable by neither group nor others): otherwise anyone could make a root
// core send a root-only file to a broker of their choosing. Relative paths are taken from the
// core's working directory.

constexpr const char *SETTINGS_FILE = "mqtt_bridge.xml";
constexpr std::size_t SETTINGS_SIZE_LIMIT = CoreDocument::MAX_FILE_BYTES;
constexpr std::size_t PASSWORD_SIZE_LIMIT = 1024;
constexpr std::size_t TLS_FILE_SIZE_LIMIT = 1u << 20;

struct LoadedSettings {
    enum class State {
        Absent, // no settings file: the bridge stays off
        Broken, // a file that cannot be used: `problem` says why
        Ready,
    };
    State state = State::Absent;
    BridgeSettings settings;
    std::string password; // the first line of the password file; never logged
    std::string problem;
};

LoadedSettings LoadSettings(const std::string &path, const std::string &defaultDevice);

// Why a root core may not use the file, or empty; empty always when the core is not root.
std::string UntrustedFileProblem(const std::string &path);
