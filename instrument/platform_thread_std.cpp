#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#include "instrument/platform_thread.h"

namespace tavex {

namespace {

struct Running {
    std::mutex mutex;
    std::condition_variable ended;
    int count = 0;
};

// Never destroyed: a thread may still count itself out while the program ends.
Running& RunningThreads() {
    static Running* running = new Running;
    return *running;
}

// Counts its thread out from the thread's own exit, after the work and its captures are gone.
struct CountedOut {
    ~CountedOut() {
        Running& running = RunningThreads();
        std::lock_guard<std::mutex> lock(running.mutex);
        --running.count;
        running.ended.notify_all();
    }
};

}  // namespace

bool StartDetachedThread(std::function<void()> work) {
    Running& running = RunningThreads();
    {
        std::lock_guard<std::mutex> lock(running.mutex);
        ++running.count;
    }
    try {
        std::thread([work = std::move(work)]() mutable {
            thread_local CountedOut countedOut;
            std::function<void()> owned = std::move(work);
            owned();
        }).detach();
        return true;
    } catch (...) {
        std::lock_guard<std::mutex> lock(running.mutex);
        --running.count;
        running.ended.notify_all();
        return false;
    }
}

bool WaitForDetachedThreadsToEnd(std::chrono::milliseconds limit) {
    Running& running = RunningThreads();
    std::unique_lock<std::mutex> lock(running.mutex);
    return running.ended.wait_for(lock, limit, [&running] { return running.count == 0; });
}

void WaitForFlagChange(const std::atomic<std::uint8_t>& flag, std::uint8_t old) {
    flag.wait(old, std::memory_order_acquire);
}

void WakeFlagWaiters(std::atomic<std::uint8_t>& flag) {
    flag.notify_all();
}

}  // namespace tavex
