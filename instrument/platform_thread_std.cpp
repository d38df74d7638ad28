#include <thread>
#include <utility>

#include "instrument/platform_thread.h"

namespace tavex {

bool StartDetachedThread(std::function<void()> work) {
    try {
        std::thread(std::move(work)).detach();
        return true;
    } catch (...) {
        return false;
    }
}

void WaitForFlagChange(const std::atomic<std::uint8_t>& flag, std::uint8_t old) {
    flag.wait(old, std::memory_order_acquire);
}

void WakeFlagWaiters(std::atomic<std::uint8_t>& flag) {
    flag.notify_all();
}

}  // namespace tavex
