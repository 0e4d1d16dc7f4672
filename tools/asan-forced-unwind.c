/* Preloaded with AddressSanitizer for the sanitizer test run only.
 *
 * pthread_exit ends a thread by a forced unwind, which ASan does not see: the instrumented
 * frames it unwinds keep the poisoned redzones of their locals, on stack that the ending thread
 * goes on using, and ASan then reports its own bookkeeping as a stack-buffer-overflow. ASan
 * unpoisons the stack for longjmp and C++ throws; this does the same for pthread_exit, which
 * CPython calls on a daemon thread that tries to take the GIL back at exit. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <sanitizer/asan_interface.h>

void pthread_exit(void* value)
{
    void (*real)(void*) = (void (*)(void*))dlsym(RTLD_NEXT, "pthread_exit");
    __asan_handle_no_return();
    real(value);
    __builtin_unreachable();
}
