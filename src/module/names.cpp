// The interned names, made at the first import and kept for the life of the runtime.
#include "module/runtime.hpp"

#include <string_view>

namespace cm {

namespace {

PyObject* intern(std::string_view text)
{
    PyObject* s = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (!s) throw PyErrSet{};
    PyUnicode_InternInPlace(&s);
    return s;
}

// mutate: equivalent own-drop (small ints: no allocation)
PyObject* integer(long v) { return own(PyLong_FromLong(v)).release(); }

PyObject* names_tuple(std::initializer_list<PyObject*> items)
{
    Ref t = own(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(item));
    return t.release();
}

}  // namespace

void init_names()
{
    if (g_runtime.names_ready) return;
    // Built into a scratch copy so that a failure half-way leaves N untouched; the few
    // objects made before a failure are dropped with the runtime, as N would be.
    Names n{};
#define CM_INIT(field, text) n.field.str = intern(text);
    CM_NAMES(CM_INIT)
#undef CM_INIT
    n.kw_encoding = names_tuple({n.encoding});
    n.kw_digestmod = names_tuple({n.digestmod});  // mutate: equivalent swap (independent)
    n.kw_algorithm = names_tuple({n.algorithm});
    n.kw_issuer_algorithms = names_tuple({n.issuer, n.algorithms});
    // mutate: equivalent release-kept,own-drop,swap (a static singleton, immortal; independent)
    n.nul_byte = own(PyBytes_FromStringAndSize("\0", 1)).release();
    n.pkcs1_overhead = integer(11);
    n.bits_per_byte = integer(8);
    n.bits512 = integer(512);
    n.bits1024 = integer(1024);  // mutate: equivalent swap (independent)
    n.bits2048 = integer(2048);
    n.bits4096 = integer(4096);
    g_runtime.names = n;
    g_runtime.names_ready = true;
}

}  // namespace cm
