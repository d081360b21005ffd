#include "asio_thread.h"

#include <cstdio>
#include <cstdlib>
#include <exception>

AsioThread::AsioThread(boost::asio::io_context &io) : io(io), work(boost::asio::make_work_guard(io)) {
    thread = std::thread([&io] {
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
