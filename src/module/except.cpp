// Except clauses: matching, and a handler run with the caught exception being handled.
#include "module/except.hpp"

namespace cm {

namespace {

// The caught exception pushed on the thread state's stack of handled exceptions, as a
// generator pushes its own while it runs: the frame's or generator's item below is never
// written. An except block in Python code called from here swaps its exception in and out of
// this item, taking over and giving back the reference it holds.
class Handling {
public:
    explicit Handling(PyObject* caught)
        : ts_(PyThreadState_Get()), item_{Py_NewRef(caught), ts_->exc_info}
    {
        ts_->exc_info = &item_;
    }
    ~Handling() noexcept(false)
    {
        // A daemon thread ended at exit unwinds without its thread state; its exception stack
        // is abandoned with it.
        if (PyThreadState_GetUnchecked() != ts_) return;
        ts_->exc_info = item_.previous_item;
        if (item_.exc_value) decref(item_.exc_value);
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyThreadState* ts_;
    _PyErr_StackItem item_;
};

}  // namespace

bool except_matches(PyObject* exc, PyObject* cls)
{
    bool valid = PyExceptionClass_Check(cls);
    if (PyTuple_Check(cls)) {
        valid = true;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cls); ++i)
            valid = valid && PyExceptionClass_Check(PyTuple_GET_ITEM(cls, i));
    }
    if (!valid)
        raise(PyExc_TypeError,
              "catching classes that do not inherit from BaseException is not allowed");
    return PyErr_GivenExceptionMatches(exc, cls) != 0;
}

void reraise_converted(Ref (*convert)(PyObject* caught))
{
    Ref caught = Ref::steal(PyErr_GetRaisedException());
    {
        Handling handling(caught.get());
        Ref raised = convert(caught.get());
        if (raised.get() != caught.get()) {
            // `raise raised`: the interpreter chains it to the handled exception, cutting any
            // cycle through that exception's own context chain.
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(raised.get())), raised.get());
            throw PyErrSet{};
        }
    }
    PyErr_SetRaisedException(caught.release());
    throw PyErrSet{};
}

}  // namespace cm
