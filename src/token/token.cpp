// HS256 tokens: issue with the claims data, iat, iss, exp; verify, converting every failure.
#include "module/ops.hpp"

namespace cm {

namespace {

// int(time.time()), one fresh reading of the clock.
Ref clock_seconds()
{
    Ref clock = attr(global(N.time), N.time);
    Ref now = call({clock});
    return own(PyNumber_Long(now.get()));
}

// While it lives, `exc` is the exception being handled, as inside an except block: anything
// raised meanwhile gets it as __context__.
class Handling {
public:
    explicit Handling(PyObject* exc) noexcept : previous_(Ref::steal(PyErr_GetHandledException()))
    {
        PyErr_SetHandledException(exc);
    }
    ~Handling() { PyErr_SetHandledException(previous_.get()); }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    Ref previous_;
};

// The test an except clause makes, including its refusal of a non-exception class.
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

[[noreturn]] void convert_failure()
{
    Ref caught = Ref::steal(PyErr_GetRaisedException());
    Handling handling(caught.get());
    Ref exceptions = attr(global(N.jwt), N.exceptions);
    Ref expired = attr(exceptions, N.ExpiredSignatureError);
    if (except_matches(caught.get(), expired.get())) {
        PyErr_SetObject(PyExc_TimeoutError, N.expired);
        throw PyErrSet{};
    }
    if (PyErr_GivenExceptionMatches(caught.get(), PyExc_Exception)) {
        Ref text = own(PyObject_Format(caught.get(), N.empty));
        Ref message = own(PyUnicode_Concat(N.failure_prefix, text.get()));
        PyErr_SetObject(PyExc_Exception, message.get());
        throw PyErrSet{};
    }
    PyErr_SetRaisedException(caught.release());
    throw PyErrSet{};
}

}  // namespace

Ref op::token(const Args& a)
{
    auto [data, key, exp_time, issuer] = take<4>(a);
    Ref token_dict = own(PyDict_New());
    ok(PyDict_SetItem(token_dict.get(), N.data, data));
    Ref iat = clock_seconds();
    ok(PyDict_SetItem(token_dict.get(), N.iat, iat.get()));
    ok(PyDict_SetItem(token_dict.get(), N.iss, issuer));
    // A lifetime of another type used to issue a token that never expires, silently; a
    // float now counts in whole seconds, None asks for no expiry, anything else is refused.
    if (PyLong_Check(exp_time)) {
        Ref now = clock_seconds();
        Ref exp = own(PyNumber_Add(now.get(), exp_time));
        ok(PyDict_SetItem(token_dict.get(), N.exp, exp.get()));
    }
    else if (PyFloat_Check(exp_time)) {
        Ref now = clock_seconds();
        Ref lifetime = own(PyNumber_Long(exp_time));
        Ref exp = own(PyNumber_Add(now.get(), lifetime.get()));
        ok(PyDict_SetItem(token_dict.get(), N.exp, exp.get()));
    }
    else if (exp_time != Py_None) {
        PyErr_Format(PyExc_TypeError,
                     "exp_time must be an int, a float or None (no expiry), not %.200s",
                     Py_TYPE(exp_time)->tp_name);
        throw PyErrSet{};
    }
    Ref encode_token = attr(global(N.jwt), N.encode);
    return call({encode_token, token_dict, key, N.HS256}, N.kw_algorithm);
}

Ref op::token_decrypt(const Args& a)
{
    auto [token, key, issuer] = take<3>(a);
    try {
        Ref decode_token = attr(global(N.jwt), N.decode);
        Ref algorithms = new_list({N.HS256});
        Ref claims = call({decode_token, token, key, issuer, algorithms}, N.kw_issuer_algorithms);
        return method(N.get, {claims, N.data});
    }
    catch (const PyErrSet&) {
        convert_failure();
    }
}

}  // namespace cm
