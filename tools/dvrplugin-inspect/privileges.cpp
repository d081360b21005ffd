#include "privileges.h"

#include <cerrno>
#include <cstring>

#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr uid_t NOBODY_FALLBACK = 65534;

std::string Failed(const char *what) { return std::string(what) + ": " + std::strerror(errno); }

} // namespace

UnprivilegedUser FindUnprivilegedUser() {
    const passwd *nobody = getpwnam("nobody");
    return nobody != nullptr ? UnprivilegedUser{nobody->pw_uid, nobody->pw_gid}
                             : UnprivilegedUser{NOBODY_FALLBACK, NOBODY_FALLBACK};
}

std::string DropRootPrivileges(const UnprivilegedUser &user) {
    if (prctl(PR_SET_KEEPCAPS, 1) != 0) {
        return Failed("keeping capabilities");
    }
    if (setgroups(0, nullptr) != 0 || setgid(user.gid) != 0 || setuid(user.uid) != 0) {
        return Failed("becoming the user nobody");
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3] = {};
    sets[0].effective = CAP_TO_MASK(CAP_DAC_READ_SEARCH);
    sets[0].permitted = CAP_TO_MASK(CAP_DAC_READ_SEARCH);
    if (syscall(SYS_capset, &header, sets) != 0 || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        return Failed("giving up capabilities");
    }
    if (getuid() == 0 || geteuid() == 0 || setuid(0) == 0) {
        return "still root";
    }
    return "";
}
