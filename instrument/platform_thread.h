#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

namespace tavex {

// Thread start and flag waits of the exchange threads. Linux uses std::thread and
// std::atomic::wait; mingw's versions of both misbehave (a detached winpthreads thread now and
// then never runs, atomic::wait loses wake-ups), so Windows uses native threads and
// WaitOnAddress instead.

// Runs work on a new detached thread. False when no thread could be started; work has then
// been destroyed without running.
bool StartDetachedThread(std::function<void()> work);

// Waits until every thread StartDetachedThread started has ended, not only its work: a thread
// still leaving while the process ends can bring the process down (seen under Wine). For the
// end of a program. False when some thread was still running after limit.
bool WaitForDetachedThreadsToEnd(std::chrono::milliseconds limit);

// Blocks until flag no longer holds old (it may also return early: callers look again).
void WaitForFlagChange(const std::atomic<std::uint8_t>& flag, std::uint8_t old);

// Wakes every thread blocked in WaitForFlagChange on flag; call it after changing the flag.
void WakeFlagWaiters(std::atomic<std::uint8_t>& flag);

}  // namespace tavex
