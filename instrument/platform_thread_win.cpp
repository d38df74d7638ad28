#include <process.h>
#include <windows.h>

#include <exception>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

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

// The handles of the threads started and not yet seen ended, so that the end of the program
// can wait for them. Never destroyed: a thread may still be starting while the program ends.
struct Started {
    std::mutex mutex;
    std::vector<HANDLE> handles;
};

Started& StartedThreads() {
    static Started* started = new Started;
    return *started;
}

// Lets go of the handles of the threads that have ended.
void ForgetEnded(std::vector<HANDLE>& handles) {
    std::erase_if(handles, [](HANDLE thread) {
        if (WaitForSingleObject(thread, 0) != WAIT_OBJECT_0) return false;
        CloseHandle(thread);
        return true;
    });
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
    // Nobody joins it; its handle is kept only to see when it has ended. Ended ones are let go
    // here, so the list stays as long as the threads still running.
    Started& started = StartedThreads();
    std::lock_guard<std::mutex> lock(started.mutex);
    ForgetEnded(started.handles);
    try {
        started.handles.push_back(reinterpret_cast<HANDLE>(handle));
    } catch (...) {
        CloseHandle(reinterpret_cast<HANDLE>(handle));
    }
    return true;
}

bool WaitForDetachedThreadsToEnd(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    Started& started = StartedThreads();
    for (;;) {
        HANDLE waiting = nullptr;
        {
            std::lock_guard<std::mutex> lock(started.mutex);
            ForgetEnded(started.handles);
            if (started.handles.empty()) return true;
            waiting = started.handles.front();
            // Waited on below without the lock: a start meanwhile must not close it.
            if (!DuplicateHandle(GetCurrentProcess(), waiting, GetCurrentProcess(), &waiting,
                                 SYNCHRONIZE, FALSE, 0)) {
                return false;
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const DWORD result =
            WaitForSingleObject(waiting, left.count() > 0 ? static_cast<DWORD>(left.count()) : 0);
        CloseHandle(waiting);
        if (result != WAIT_OBJECT_0) return false;
    }
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
