// The runtime's state and the process's, and the release of a reference by a thread that may
// have lost its runtime.
#include "module/runtime.hpp"

namespace cm {

Runtime g_runtime;

bool g_exiting = false;

void release_while_exiting(PyObject* p)
{
    // Without a thread state this thread no longer holds the GIL: it is a daemon thread being
    // torn down, and whatever it owned is left to the process's end, as a Python frame's is.
    if (PyThreadState_GetUnchecked()) Py_DECREF(p);
}

void forget_runtime() noexcept { g_runtime = Runtime{}; }

}  // namespace cm
