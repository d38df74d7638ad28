#pragma once

// Small things the tests need that each system spells its own way.

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace tavex::testing_support {

inline long ProcessId() {
#ifdef _WIN32
    return ::_getpid();
#else
    return static_cast<long>(::getpid());
#endif
}

}  // namespace tavex::testing_support
