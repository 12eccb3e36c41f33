#pragma once
// A fixed set of threads taking jobs from a queue of bounded length. A full
// queue refuses new jobs at once rather than letting waiting work pile up, so
// the caller can answer "busy" while the service is still responsive.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace vell::service {

class WorkQueue {
public:
    // threads run jobs; at most backlog jobs wait beyond those running.
    WorkQueue(unsigned threads, std::size_t backlog);
    ~WorkQueue();  // finishes the jobs already accepted
    WorkQueue(const WorkQueue&) = delete;
    WorkQueue& operator=(const WorkQueue&) = delete;

    // False, without running the job, when threads and backlog are all taken.
    bool submit(std::function<void()> job);

private:
    void work();

    std::size_t capacity_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> jobs_;
    std::size_t running_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace vell::service
