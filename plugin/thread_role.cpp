#include "thread_role.h"

#include <atomic>

#include "dvrplugin.h"

namespace {

// Initial-exec: in the static TLS block, which a signal handler reaches
// without the dynamic TLS path (which may allocate).
__attribute__((tls_model("initial-exec"))) thread_local ThreadRole currentRole;

} // namespace

const ThreadRole &CurrentThreadRole() { return currentRole; }

void SetThreadRole(const ThreadRole &role) {
    currentRole = role;
    // The handler runs on this same thread: the role must be in memory
    // before anything it describes happens.
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

ThreadRoleScope::ThreadRoleScope(const ThreadRole &role) : previous(currentRole) { SetThreadRole(role); }

ThreadRoleScope::~ThreadRoleScope() { SetThreadRole(previous); }

// The stack is freed when the thread ends: a thread-local object's
// destructor runs on the ending thread.
void AdoptRaisingThread(uint32_t source) {
    if (source == CORE_SOURCE) {
        return;
    }
    SetThreadRole({ThreadKind::PluginOwn, source != JOB_CONTROL_SOURCE ? source : 0, 0, nullptr});
    thread_local AlternateSignalStack stack;
    (void)stack;
}
