#include "thread_role.h"

#include <atomic>

#include "dvrplugin.h"

namespace {

// Initial-exec: in the static TLS block, which a signal handler reaches
// without the dynamic TLS path (which may allocate).
__attribute__((tls_model("initial-exec"))) thread_local ThreadRole currentRole;

void SetRole(const ThreadRole &role) {
    currentRole = role;
    // The handler runs on this same thread: the role must be in memory
    // before anything it describes happens.
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

} // namespace

const ThreadRole &CurrentThreadRole() { return currentRole; }

ThreadRoleScope::ThreadRoleScope(const ThreadRole &role) { SetRole(role); }

ThreadRoleScope::~ThreadRoleScope() { SetRole(ThreadRole{}); }

// The stack is freed when the thread ends: a thread-local object's
// destructor runs on the ending thread.
void AdoptRaisingThread(uint32_t source) {
    const bool plugin = source != CORE_SOURCE && source != JOB_CONTROL_SOURCE;
    SetRole({ThreadKind::PluginOwn, plugin ? source : 0, 0, nullptr});
    thread_local AlternateSignalStack stack;
    (void)stack;
}
