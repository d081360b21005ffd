#include "asio_thread.h"

#include <cstdio>
#include <cstdlib>
#include <exception>

AsioThread::AsioThread(boost::asio::io_context &io, const CallSlot &calls)
    : io(io), work(boost::asio::make_work_guard(io)) {
    thread = std::thread([&io, &calls] {
        const ThreadRoleScope role({ThreadKind::Asio, 0, 0, &calls});
        try {
            io.run();
        } catch (const std::exception &error) {
            std::fprintf(stderr, "asio thread failed: %s\n", error.what());
            std::abort();
        }
    });
}

AsioThread::~AsioThread() {
    io.stop();
    thread.join();
}
