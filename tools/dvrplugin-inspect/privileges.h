#pragma once

#include <string>

#include <sys/types.h>

// Root's privileges, dropped before a library's code runs: the inspector may
// be run as root on the device, and a library's constructors and Load run as
// whoever opens it.

// The user to run as when the inspector runs as root: "nobody".
struct UnprivilegedUser {
    uid_t uid;
    gid_t gid;
};
UnprivilegedUser FindUnprivilegedUser();

// In a child process that runs as root: becomes `user`, with no
// supplementary groups and no way back (no new privileges), keeping only
// the capability to read and search files, so that the library and its
// neighbours are found wherever they lie, but nothing can be changed that
// that user could not change. Returns why it failed, or "".
std::string DropRootPrivileges(const UnprivilegedUser &user);
