#pragma once
// A serial task queue: one worker thread running tasks one at a time in submission order.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace corvaline::playback {

class SerialQueue {
  public:
    /// Starts the worker thread; `label` names the queue (and, cut to 15 bytes, the thread).
    explicit SerialQueue(std::string label);
    /// shutdown().
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    /// Runs `task` later on the queue. Exceptions escaping an asynchronous task are dropped;
    /// tasks report their own failures. Ignored after shutdown().
    void async(std::function<void()> task);

    /// Runs `task` on the queue and waits for it; its exception is rethrown here. Runs inline
    /// when called from the queue itself or after shutdown() (there is no worker then).
    void sync(const std::function<void()>& task);

    /// Refuses new tasks, lets the queued ones finish and joins the worker. Idempotent; must
    /// not be called from the queue itself (it then only refuses new tasks).
    void shutdown();

    /// Asks the system to run the worker ahead of ordinary threads (real-time round-robin
    /// scheduling at the lowest real-time priority, else a higher nice priority). Returns
    /// whether anything was granted; where neither is permitted the queue simply keeps its
    /// normal priority.
    bool raisePriority();

    const std::string& label() const { return label_; }
    /// True on the queue's worker thread.
    bool isCurrent() const { return std::this_thread::get_id() == workerId_; }

  private:
    void run();

    std::string label_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    bool closing_ = false;
    std::thread worker_;
    std::thread::id workerId_;
    std::atomic<int> nativeId_{0};  ///< the worker's kernel thread id, once it runs
};

}  // namespace corvaline::playback
