#ifndef SEAMLINE_THREADS_H
#define SEAMLINE_THREADS_H

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace seamline {

// Worker threads that take queued tasks first in, first out. With threads <= 1
// there is no worker and run executes each task at once on the caller's
// thread. Should the system refuse a thread, the pool keeps the workers it
// has (none: tasks run on the caller's thread), which changes no result.
class threadPool {
public:
    explicit threadPool(int threads);
    // Finishes every queued task, then joins the workers.
    ~threadPool();
    threadPool(const threadPool&) = delete;
    threadPool& operator=(const threadPool&) = delete;

    // What the task throws is stored in its future, never thrown here or on a
    // worker.
    void run(std::packaged_task<void()> task);

private:
    std::vector<std::thread> workers;
    std::deque<std::packaged_task<void()>> tasks;
    std::mutex lock;
    std::condition_variable wake;
    bool stopping = false;

    void work();
};

// Runs jobs on a pool and hands their results back strictly in the order the
// jobs were submitted. At most maxInFlight jobs are held, running or finished
// but not yet taken: the producer takes the oldest result while full() before
// it submits another, which bounds the memory the results hold. take()
// rethrows what the job threw. With one thread every job runs inside submit,
// on the caller's thread. Destroying the pipeline waits for the jobs still
// queued or running, so their data must outlive it.
template <typename Result>
class orderedPipeline {
public:
    orderedPipeline(int threads, size_t maxInFlight)
        : pool(threads), maxInFlight(std::max<size_t>(maxInFlight, 1)) {}

    // Job: a callable taking nothing and returning a Result; it may be
    // move-only.
    template <typename Job>
    void submit(Job job) {
        if (full()) throw std::logic_error("orderedPipeline: submit while full");
        std::packaged_task<Result()> task(std::move(job));
        pending.push_back(task.get_future());
        pool.run(std::packaged_task<void()>([task = std::move(task)]() mutable { task(); }));
    }

    bool full() const { return pending.size() >= maxInFlight; }
    bool empty() const { return pending.empty(); }
    // True when the oldest job has finished, so that take() will not wait.
    bool ready() const {
        return !pending.empty() &&
               pending.front().wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    }
    // The result of the oldest job, once it has finished; rethrows what the
    // job threw. The pipeline must not be empty.
    Result take() {
        if (empty()) throw std::logic_error("orderedPipeline: take with nothing submitted");
        std::future<Result> oldest = std::move(pending.front());
        pending.pop_front();
        return oldest.get();
    }

private:
    threadPool pool;
    size_t maxInFlight;
    std::deque<std::future<Result>> pending;
};

}  // namespace seamline

#endif
