#pragma once

#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "thread_role.h"

// The one thread that runs `io`: started by the constructor (which throws
// std::system_error when the system gives no thread), stopped and joined by
// the destructor. Handlers still queued then are not run. An error reported
// by running `io` ends the process abnormally. `calls` is the slot of the
// calls the thread makes into plugins, which a crash report names.
class AsioThread {
public:
    AsioThread(boost::asio::io_context &io, const CallSlot &calls);
    ~AsioThread();
    AsioThread(const AsioThread &) = delete;
    AsioThread &operator=(const AsioThread &) = delete;

private:
    boost::asio::io_context &io;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work;
    std::thread thread;
};
