#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

namespace mqtttest {

// Programs the tests run: the broker, openssl, mosquitto_passwd, mosquitto_sub. Standard input
// is /dev/null; standard output and error are appended to `log`.

// Runs the program to its end; its exit code, or -1 when it could not run.
int RunProgram(const std::vector<std::string> &command, const std::string &log);
// Starts the program; its process ID.
pid_t StartProgram(const std::vector<std::string> &command, const std::string &log);
// Whether the started program ended (it is then reaped), waiting up to `seconds`.
bool WaitForProgramEnd(pid_t pid, double seconds);

// The whole of a text file, or an empty string.
std::string ReadText(const std::string &path);

} // namespace mqtttest
