// How much C stack this thread has left, measured against the stack's own bounds.
#pragma once

#include <cstdint>

namespace cm {

/// Every call that nests through our functions costs C stack that a Python-to-Python call
/// does not (a str subclass whose encode calls back in, directly or through a Python frame),
/// and a thread may have as little as 64 KiB of it. A call may start only above this address:
/// kStackMargin above the low end of the thread's stack, as CPython 3.14 guards its own C
/// recursion; what is left covers one level's excursion between two checks, and the raising.
/// Process state, per OS thread, which is right for greenlets too: they all run on their
/// thread's stack, saving and restoring slices of it. In the static TLS block, for a check of
/// a few instructions; the top of the address space until the bounds are read, so that a
/// thread's first call takes the slow path that reads them.
[[gnu::tls_model("initial-exec")]] extern constinit thread_local std::uintptr_t t_stack_floor;

constexpr std::uintptr_t kStackMargin = 16 << 10;

enum class StackRoom {
    Enough,     // the frame is above the floor
    TooLittle,  // the frame is on this thread's stack, below the floor
    Unknown,    // the bounds are unreadable, or the frame is on a stack the program switched to
};

/// Where a frame below t_stack_floor stands; reads the bounds at a thread's first call.
[[gnu::cold, gnu::noinline]] StackRoom stack_room(std::uintptr_t here) noexcept;

}  // namespace cm
