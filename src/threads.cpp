#include "threads.h"

#include <system_error>

namespace seamline {

threadPool::threadPool(int threads) {
    if (threads < 2) return;
    workers.reserve(threads);
    for (int t = 0; t < threads; t++) {
        try {
            workers.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
            break;
        }
    }
}

threadPool::~threadPool() {
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
    }
    wake.notify_all();
    for (std::thread& worker : workers) worker.join();
}

void threadPool::run(std::packaged_task<void()> task) {
    if (workers.empty()) {
        task();
        return;
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        tasks.push_back(std::move(task));
    }
    wake.notify_one();
}

void threadPool::work() {
    for (;;) {
        std::packaged_task<void()> task;
        {
            std::unique_lock<std::mutex> guard(lock);
            wake.wait(guard, [this] { return stopping || !tasks.empty(); });
            if (tasks.empty()) return;
            task = std::move(tasks.front());
            tasks.pop_front();
        }
        task();
    }
}

}  // namespace seamline
