// The process identity and its capabilities. The core takes on the user of
// its parent (the supervisor) and, when that user is not root, keeps only
// the network and raw I/O capabilities through the change.
#include <cerrno>
#include <cstring>
#include <string>

#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "capability_sets.h"
#include "dvrcore.h"
#include "parent_user.h"
#include "log_message.h"

namespace {

constexpr int MAX_GROUPS = 256;

// strerror is not safe while other threads run; the later reduction of
// capabilities happens when they do.
std::string ErrorText(int error) {
    char buffer[256];
    return strerror_r(error, buffer, sizeof buffer);
}

// Needs CAP_SETGID after the user id has changed: the secure bits set by
// Initialize keep the capabilities across setuid.
bool AdoptAccount(uid_t userId) {
    errno = 0; // getpwuid leaves errno alone when there simply is no account
    const passwd *account = getpwuid(userId);
    if (account == nullptr) {
        CORE_LOG(LOG_LEVEL_ERROR, "getpwuid failed: %s", ErrorText(errno).c_str());
        return false;
    }
    const std::string name = account->pw_name;
    const gid_t primaryGroup = account->pw_gid;
    if (setuid(account->pw_uid) != 0 || setgid(primaryGroup) != 0) {
        CORE_LOG(LOG_LEVEL_ERROR, "setuid/gid failed: %s", ErrorText(errno).c_str());
        return false;
    }
    gid_t groups[MAX_GROUPS];
    int count = MAX_GROUPS;
    if (getgrouplist(name.c_str(), primaryGroup, groups, &count) < 0) {
        CORE_LOG(LOG_LEVEL_ERROR, "getgrouplist failed");
        return false;
    }
    if (setgroups(static_cast<size_t>(count), groups) != 0) {
        CORE_LOG(LOG_LEVEL_ERROR, "setgroups failed: %s", ErrorText(errno).c_str());
        return false;
    }
    return true;
}

} // namespace

// Runs before any other thread of the core exists, so every thread inherits
// the result.
bool dvrcore::ChangeIdentity() {
    const uid_t parentUserId = ParentUserId();
    if (parentUserId != getuid() && !AdoptAccount(parentUserId)) {
        return false;
    }
    if (parentUserId != 0) {
        DropCapabilities(CAPABILITIES_KEPT_WHILE_STARTING);
    }
    return true;
}

// Acts on the calling thread only: threads started earlier keep their sets.
void dvrcore::DropCapabilities(uint32_t mask) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3] = {{mask, mask, 0}, {0, 0, 0}};
    if (syscall(SYS_capset, &header, sets) != 0) {
        CORE_LOG(LOG_LEVEL_WARNING, "capset failed: %s", ErrorText(errno).c_str());
    }
}
