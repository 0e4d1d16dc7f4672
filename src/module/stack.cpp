// The bounds of each thread's stack, read once per thread.
#include "module/stack.hpp"

#include <pthread.h>

#include <cstddef>

#if defined(__GLIBC__) && defined(__x86_64__)
// The wheel promises glibc 2.24: these bind to the versions the functions have had since glibc
// 2.2.5 (in libpthread before 2.34), not to those that glibc 2.32 and 2.34 gave them in libc.
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getguardsize,pthread_attr_getguardsize@GLIBC_2.2.5");
#endif

namespace cm {

[[gnu::tls_model("initial-exec")]] constinit thread_local std::uintptr_t t_stack_floor =
    UINTPTR_MAX;

namespace {

enum class Bounds : unsigned char { Unread, Known, Unknown };

[[gnu::tls_model("initial-exec")]] constinit thread_local std::uintptr_t t_stack_low = 0;
[[gnu::tls_model("initial-exec")]] constinit thread_local std::uintptr_t t_stack_high = 0;
[[gnu::tls_model("initial-exec")]] constinit thread_local Bounds t_bounds = Bounds::Unread;

// The usable range of this thread's stack, above its guard pages, if the platform tells.
void read_stack_bounds() noexcept
{
    t_bounds = Bounds::Unknown;
#if defined(__linux__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
    void* addr = nullptr;
    std::size_t size = 0, guard = 0;
    bool read = pthread_attr_getstack(&attr, &addr, &size) == 0
                && pthread_attr_getguardsize(&attr, &guard) == 0;
    pthread_attr_destroy(&attr);
    if (!read || size <= guard + kStackMargin) return;
    t_stack_low = reinterpret_cast<std::uintptr_t>(addr) + guard;
    t_stack_high = reinterpret_cast<std::uintptr_t>(addr) + size;
    t_stack_floor = t_stack_low + kStackMargin;
    t_bounds = Bounds::Known;
#endif
}

}  // namespace

StackRoom stack_room(std::uintptr_t here) noexcept
{
    if (t_bounds == Bounds::Unread) read_stack_bounds();
    if (t_bounds != Bounds::Known || here < t_stack_low || here >= t_stack_high)
        return StackRoom::Unknown;
    return here >= t_stack_floor ? StackRoom::Enough : StackRoom::TooLittle;
}

}  // namespace cm
