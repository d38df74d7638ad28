#include <process.h>
#include <windows.h>

#include <exception>
#include <memory>
#include <utility>

#include "instrument/platform_thread.h"

namespace tavex {

namespace {

static_assert(sizeof(std::atomic<std::uint8_t>) == 1 &&
                  std::atomic<std::uint8_t>::is_always_lock_free,
              "WaitOnAddress compares the flag's own byte");

unsigned __stdcall RunWork(void* argument) noexcept {
    const std::unique_ptr<std::function<void()>> work(
        static_cast<std::function<void()>*>(argument));
    // As with std::thread, an exception that leaves the thread ends the program.
    try {
        (*work)();
    } catch (...) {
        std::terminate();
    }
    return 0;
}

}  // namespace

bool StartDetachedThread(std::function<void()> work) {
    std::function<void()>* owned = nullptr;
    try {
        owned = new std::function<void()>(std::move(work));
    } catch (...) {
        return false;
    }
    // _beginthreadex rather than CreateThread: the thread uses the C runtime.
    const std::uintptr_t handle = _beginthreadex(nullptr, 0, RunWork, owned, 0, nullptr);
    if (handle == 0) {
        delete owned;
        return false;
    }
    // Detached: nobody joins it, and the thread runs on without its handle.
    CloseHandle(reinterpret_cast<HANDLE>(handle));
    return true;
}

void WaitForFlagChange(const std::atomic<std::uint8_t>& flag, std::uint8_t old) {
    // WaitOnAddress compares and sleeps as one step against WakeByAddressAll, so a change made
    // between the load and the wait is not missed.
    while (flag.load(std::memory_order_acquire) == old) {
        WaitOnAddress(const_cast<std::atomic<std::uint8_t>*>(&flag), &old, sizeof old, INFINITE);
    }
}

void WakeFlagWaiters(std::atomic<std::uint8_t>& flag) {
    WakeByAddressAll(&flag);
}

}  // namespace tavex
