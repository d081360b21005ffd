#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "isolated_run.h"
#include "plugin/plugin_trust.h"
#include "plugin_facts.h"

bool PluginFacts::Exports(const std::string &entry) const {
    return std::find(entries.begin(), entries.end(), entry) != entries.end();
}

namespace {

const char *const ENTRY_NAMES[] = {ENTRY_LOAD, ENTRY_UNLOAD, ENTRY_OPEN, ENTRY_CLOSE,
                                   ENTRY_READ, ENTRY_WRITE,  ENTRY_SEEK, ENTRY_IOCTL};

std::string FileKind(mode_t mode) {
    return S_ISDIR(mode)    ? "a directory"
           : S_ISFIFO(mode) ? "a FIFO"
           : S_ISSOCK(mode) ? "a socket"
           : S_ISCHR(mode)  ? "a character device"
           : S_ISBLK(mode)  ? "a block device"
                            : "not a regular file";
}

// The core takes only regular files (links followed). Anything else is
// never opened, and a regular file is opened without blocking, so that a
// FIFO or device put in its place meanwhile cannot hold the inspector.
void ReadTheFile(PluginFacts &facts) {
    struct stat named {};
    if (stat(facts.path.c_str(), &named) != 0) {
        facts.fileProblem = "it cannot be examined: " + std::string(std::strerror(errno));
        return;
    }
    if (!S_ISREG(named.st_mode)) {
        facts.fileProblem = "it is " + FileKind(named.st_mode) + ", not a regular file";
        return;
    }
    const int descriptor = open(facts.path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat opened {};
    if (descriptor < 0 || fstat(descriptor, &opened) != 0) {
        facts.fileProblem = "it cannot be read: " + std::string(std::strerror(errno));
    } else if (opened.st_dev != named.st_dev || opened.st_ino != named.st_ino || !S_ISREG(opened.st_mode)) {
        facts.fileProblem = "it was replaced while it was being inspected";
    } else {
        facts.elf = dvrtest::ReadElfFacts(descriptor);
    }
    if (descriptor >= 0) {
        close(descriptor);
    }
}

void NoteEntries(PluginFacts &facts) {
    facts.entriesKnown = facts.elf.symbolsKnown;
    for (const char *entry : ENTRY_NAMES) {
        if (std::find(facts.elf.exported.begin(), facts.elf.exported.end(), entry) != facts.elf.exported.end()) {
            facts.entries.push_back(entry);
        }
    }
    facts.cxxEntries = dvrtest::EntriesUnderCxxNames(facts.elf.exported);
}

// Why the library's code must not run here, or "". A core running as root
// judges the file by root's rule; the inspector runs nothing that anyone but
// root, or the user running it, could have changed.
std::string ReasonNotToRun(const PluginFacts &facts) {
    if (!facts.elf.unloadable.empty()) {
        return "the loader here would refuse it";
    }
    const std::string runnerProblem =
        geteuid() == 0 ? facts.rootTrustProblem : PluginTrustProblem(facts.path, getuid());
    if (!runnerProblem.empty()) {
        return geteuid() == 0 ? "a core running as root refuses it" : runnerProblem;
    }
    if (facts.elf.symbolsKnown && !facts.Exports(ENTRY_LOAD)) {
        return "it exports no Load";
    }
    return "";
}

} // namespace

PluginFacts InspectPlugin(const std::string &path, double seconds) {
    PluginFacts facts;
    facts.path = path;
    ReadTheFile(facts);
    if (!facts.fileProblem.empty()) {
        facts.notRun = "it is no file the core loads";
        return facts;
    }
    facts.rootTrustProblem = PluginTrustProblem(path, 0);
    NoteEntries(facts);
    facts.notRun = ReasonNotToRun(facts);
    if (facts.notRun.empty()) {
        RunInChild(facts, seconds);
    }
    return facts;
}
