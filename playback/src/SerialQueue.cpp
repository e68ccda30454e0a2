#include "playback/SerialQueue.hpp"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <exception>
#include <future>

namespace corvaline::playback {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
    worker_ = std::thread([this] { run(); });
    workerId_ = worker_.get_id();
    // Thread names are limited to 15 bytes; the full label stays in label().
    pthread_setname_np(worker_.native_handle(), label_.substr(0, 15).c_str());
}

SerialQueue::~SerialQueue() {
    shutdown();
}

void SerialQueue::async(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        if (closing_) return;
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
}

void SerialQueue::sync(const std::function<void()>& task) {
    if (isCurrent()) {
        task();
        return;
    }
    std::promise<void> done;
    auto finished = done.get_future();
    {
        std::unique_lock lock(mutex_);
        if (!closing_) {
            tasks_.push_back([&task, &done] {
                try {
                    task();
                    done.set_value();
                } catch (...) {
                    done.set_exception(std::current_exception());
                }
            });
            lock.unlock();
            wake_.notify_one();
            finished.get();
            return;
        }
    }
    task();
}

bool SerialQueue::raisePriority() {
    if (!worker_.joinable()) return false;
    sched_param parameters{};
    parameters.sched_priority = sched_get_priority_min(SCHED_RR);
    if (pthread_setschedparam(worker_.native_handle(), SCHED_RR, &parameters) == 0) return true;
    // Without the right to real-time scheduling, a lower nice value may still be allowed
    // (RLIMIT_NICE); Linux applies it to the one thread it names.
    for (int spin = 0; nativeId_.load() == 0 && spin < 100000; ++spin)
        std::this_thread::yield();
    const int thread = nativeId_.load();
    return thread != 0 && setpriority(PRIO_PROCESS, id_t(thread), -10) == 0;
}

void SerialQueue::shutdown() {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    wake_.notify_one();
    if (worker_.joinable() && !isCurrent()) worker_.join();
}

void SerialQueue::run() {
    nativeId_.store(int(gettid()));
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return closing_ || !tasks_.empty(); });
            // Tasks already queued still run after shutdown() so that a synchronous caller
            // waiting on one is never left hanging.
            if (closing_ && tasks_.empty()) return;
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        try {
            task();
        } catch (...) {
            // An asynchronous task's failure has nobody to report to.
        }
    }
}

}  // namespace corvaline::playback
