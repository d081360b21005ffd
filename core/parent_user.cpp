#include "parent_user.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include <unistd.h>

uint32_t UserIdFromStatus(const std::string &statusText) {
    std::istringstream lines(statusText);
    std::string line;
    while (std::getline(lines, line)) {
        unsigned int userId = 0;
        if (std::sscanf(line.c_str(), "Uid: %u", &userId) == 1) {
            return userId;
        }
    }
    return 0;
}

uint32_t ParentUserId() {
    std::ifstream status("/proc/" + std::to_string(getppid()) + "/status");
    const std::string text((std::istreambuf_iterator<char>(status)), std::istreambuf_iterator<char>());
    return UserIdFromStatus(text);
}
