#include "tests/mqtt/programs.h"

#include <fstream>
#include <iterator>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/child_process.h"

namespace mqtttest {

pid_t StartProgram(const std::vector<std::string> &command, const std::string &log) {
    const int output = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    testsupport::ChildOptions child;
    child.command = command;
    child.output = output;
    child.errors = output;
    const pid_t pid = testsupport::StartChild(child);
    if (output >= 0) {
        close(output);
    }
    return pid;
}

bool WaitForProgramEnd(pid_t pid, double seconds) {
    return testsupport::WaitForEnd(pid, testsupport::Seconds(seconds)).has_value();
}

int RunProgram(const std::vector<std::string> &command, const std::string &log) {
    const pid_t pid = StartProgram(command, log);
    const int status = pid < 0 ? -1 : testsupport::AwaitEnd(pid);
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadText(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

} // namespace mqtttest
