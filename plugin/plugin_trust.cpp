#include "plugin_trust.h"

#include <cerrno>
#include <cstring>

#include <sys/stat.h>

#include <boost/filesystem/operations.hpp>

namespace fs = boost::filesystem;

namespace {

// stat follows links: a link's own owner and mode mean nothing. `what` names the checked
// file or directory in the refusal.
std::string ProblemWith(const std::string &what, const fs::path &path, uid_t coreUser) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        return "cannot examine " + what + ": " + std::strerror(errno);
    }
    if (status.st_uid != 0 && status.st_uid != coreUser) {
        return what + " is owned by another user (uid " + std::to_string(status.st_uid) + ")";
    }
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return what + " is writable by group or others";
    }
    return {};
}

std::string DirectoryProblem(const fs::path &file, uid_t coreUser) {
    fs::path directory = file.parent_path();
    if (directory.empty()) {
        directory = ".";
    }
    return ProblemWith("directory '" + directory.string() + "'", directory, coreUser);
}

bool IsLink(const fs::path &path) {
    boost::system::error_code ignored;
    return fs::is_symlink(fs::symlink_status(path, ignored));
}

} // namespace

std::string PluginTrustProblem(const std::string &path, uid_t coreUser) {
    const fs::path library(path);
    std::string problem = ProblemWith("file", library, coreUser);
    if (problem.empty()) {
        problem = DirectoryProblem(library, coreUser);
    }
    if (!problem.empty() || !IsLink(library)) {
        return problem;
    }
    boost::system::error_code error;
    const fs::path target = fs::canonical(library, error);
    if (error) {
        return "cannot follow the link: " + error.message();
    }
    return DirectoryProblem(target, coreUser);
}
