#pragma once

#include <cstddef>
#include <string>

#include "mqtt_bridge/settings.h"
#include "xml/core_document.h"

// The settings file, read with the core's rules for XML files (a regular file of at most
// CoreDocument::MAX_FILE_BYTES, elements nested at most 100 deep), and the secrets it names.
// Relative paths are taken from the core's working directory.

constexpr const char *SETTINGS_FILE = "mqtt_bridge.xml";
constexpr std::size_t SETTINGS_SIZE_LIMIT = CoreDocument::MAX_FILE_BYTES;
constexpr std::size_t PASSWORD_SIZE_LIMIT = 1024;

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
