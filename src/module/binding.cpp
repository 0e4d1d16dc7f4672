// Argument binding, the same for every method, with its three exact TypeError texts.
#include "module/function.hpp"

namespace cm {

namespace {

constexpr const char kCountError[] = "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
constexpr const char kMultipleValues[] = "%s() got multiple values for keyword argument '%U'";
constexpr const char kUnexpectedKeyword[] = "%s() got an unexpected keyword argument '%U'";

[[noreturn, gnu::cold, gnu::noinline]] void count_error(const Function& f, Py_ssize_t given)
{
    bool exact = f.required == f.total;
    bool too_few = given < f.required;
    const char* bound = exact ? "exactly" : too_few ? "at least" : "at most";
    Py_ssize_t expected = exact || too_few ? f.required : f.total;
    PyErr_Format(PyExc_TypeError, kCountError, f.spec->name, bound, expected,
                 expected == 1 ? "" : "s", given);
    throw PyErrSet{};
}

[[noreturn, gnu::cold, gnu::noinline]] void keyword_error(const char* format, const Function& f,
                                                          PyObject* keyword)
{
    PyErr_Format(PyExc_TypeError, format, f.spec->name, keyword);
    throw PyErrSet{};
}

[[noreturn, gnu::cold, gnu::noinline]] void keyword_not_str()
{
    raise(PyExc_TypeError, "keywords must be strings");
}

// The parameter a keyword names, or -1, matched as a Python function matches it: by identity
// first (interned names meet interned keywords), then with ==, which a str subclass may
// override, and whose exception propagates.
Py_ssize_t find_parameter(const Function& f, PyObject* keyword)
{
    for (Py_ssize_t i = 0; i < f.total; ++i)
        if (f.params[i] == keyword) return i;
    if (!PyUnicode_Check(keyword)) keyword_not_str();
    bool exact = PyUnicode_CheckExact(keyword);
    for (Py_ssize_t i = 0; i < f.total; ++i) {
        int r = exact ? PyUnicode_Compare(keyword, f.params[i]) == 0
                      : PyObject_RichCompareBool(keyword, f.params[i], Py_EQ);
        ok(r);
        if (r) return i;
    }
    return -1;
}

}  // namespace

void bind(const Function& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Args& out)
{
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs > f.total || (nkw == 0 && nargs < f.required)) count_error(f, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];

    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t i = find_parameter(f, keyword);
        if (i < 0) keyword_error(kUnexpectedKeyword, f, keyword);
        if (out[i]) keyword_error(kMultipleValues, f, keyword);
        out[i] = args[nargs + k];
    }

    // Required parameters come first; the first one still unbound is reported by its
    // position, which is the number of parameters bound in front of it.
    for (Py_ssize_t i = nargs; i < f.required; ++i)
        if (!out[i]) count_error(f, i);
    for (Py_ssize_t i = f.required; i < f.total; ++i)
        if (!out[i]) out[i] = PyTuple_GET_ITEM(f.defaults, i - f.required);
}

}  // namespace cm
