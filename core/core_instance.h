#pragma once

#include <atomic>

class dvrcore;

// How the exported event entry reaches the process's one core.
//
// Plugins may raise events from threads and library destructors that outlive
// the core (the library with ID 0x00470000 stays mapped until the process
// ends). So the core is withdrawn before it is taken apart: from then on a
// call finds no core and must touch nothing of it.

// One call's way in. While it lives, the core it found is not taken apart.
// Core() is null when there is no core: not built yet, or withdrawn.
class CoreEntry {
public:
    CoreEntry();
    ~CoreEntry();
    CoreEntry(const CoreEntry &) = delete;
    CoreEntry &operator=(const CoreEntry &) = delete;

    dvrcore *Core() const { return core; }

private:
    std::atomic<unsigned> &counter; // this thread's count of calls inside
    dvrcore *core;
};

// The core's hold on the entry: its first field, so that it goes last.
// Publish is the constructor's last step. Withdraw, early in the destructor,
// turns every other thread away and waits until the calls already inside
// have left; the withdrawing thread keeps its way in until this field goes,
// so that the core's own last lines (the leak report) still reach its sink.
class CoreRegistration {
public:
    CoreRegistration() = default;
    ~CoreRegistration();
    CoreRegistration(const CoreRegistration &) = delete;
    CoreRegistration &operator=(const CoreRegistration &) = delete;

    void Publish(dvrcore *core);
    void Withdraw();

private:
    dvrcore *published = nullptr;
};
