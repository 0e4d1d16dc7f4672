// Argument binding, the same for every method, with its three exact TypeError texts.
#include "module/binding.hpp"

namespace cm {

namespace {

constexpr const char kCountError[] = "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
constexpr const char kMultipleValues[] = "%s() got multiple values for keyword argument '%U'";
constexpr const char kUnexpectedKeyword[] = "%s() got an unexpected keyword argument '%U'";

[[noreturn, gnu::cold, gnu::noinline]] void count_error(const Signature& sig, Py_ssize_t given)
{
    bool exact = sig.required == sig.total;
    bool too_few = given < sig.required;
    const char* bound = exact ? "exactly" : too_few ? "at least" : "at most";
    Py_ssize_t expected = exact || too_few ? sig.required : sig.total;
    raise(PyExc_TypeError, kCountError, sig.name, bound, expected, expected == 1 ? "" : "s", given);
}

[[noreturn, gnu::cold, gnu::noinline]] void keyword_error(const char* format, const Signature& sig,
                                                          PyObject* keyword)
{
    raise(PyExc_TypeError, format, sig.name, keyword);
}

[[noreturn, gnu::cold, gnu::noinline]] void keyword_not_str()
{
    raise(PyExc_TypeError, "keywords must be strings");
}

// The parameter a keyword names, or -1, matched as a Python function matches it: by identity
// first (interned names meet interned keywords), then with ==, which a str subclass may
// override, and whose exception propagates.
Py_ssize_t find_parameter(const Signature& sig, PyObject* keyword)
{
    for (Py_ssize_t i = 0; i < sig.total; ++i)
        if (sig.params[i] == keyword) return i;
    if (!PyUnicode_Check(keyword)) keyword_not_str();
    bool exact = PyUnicode_CheckExact(keyword);
    for (Py_ssize_t i = 0; i < sig.total; ++i) {
        int r = exact ? PyUnicode_Compare(keyword, sig.params[i]) == 0
                      : PyObject_RichCompareBool(keyword, sig.params[i], Py_EQ);
        ok(r);
        if (r) return i;
    }
    return -1;
}

}  // namespace

void bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          Args& out)
{
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs > sig.total || (nkw == 0 && nargs < sig.required)) count_error(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];

    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t i = find_parameter(sig, keyword);
        if (i < 0) keyword_error(kUnexpectedKeyword, sig, keyword);
        if (out[i]) keyword_error(kMultipleValues, sig, keyword);
        out[i] = args[nargs + k];
    }

    // Required parameters come first; the first one still unbound is reported by its
    // position, which is the number of parameters bound in front of it.
    // mutate: equivalent swap (defaults are borrowed into slots an error drops)
    for (Py_ssize_t i = nargs; i < sig.required; ++i)
        if (!out[i]) count_error(sig, i);
    for (Py_ssize_t i = sig.required; i < sig.total; ++i)
        if (!out[i]) out[i] = PyTuple_GET_ITEM(sig.defaults, i - sig.required);
}

}  // namespace cm
