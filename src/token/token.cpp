// HS256 tokens: issue with the claims data, iat, iss, exp; verify, converting every failure.
#include "module/except.hpp"
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

// What the two except clauses make of `caught`: the exception to raise in its place, or
// `caught` itself when neither takes it.
Ref converted(PyObject* caught)
{
    Ref exceptions = attr(global(N.jwt), N.exceptions);
    Ref expired = attr(exceptions, N.ExpiredSignatureError);
    if (except_matches(caught, expired.get())) return call({PyExc_TimeoutError, N.expired});
    if (!PyErr_GivenExceptionMatches(caught, PyExc_Exception)) return Ref::borrow(caught);
    Ref text = own(PyObject_Format(caught, N.empty));
    Ref message = own(PyUnicode_Concat(N.failure_prefix, text.get()));
    return call({PyExc_Exception, message});
}

[[noreturn, gnu::cold]] void lifetime_error(PyObject* exp_time)
{
    Ref type_name = own(PyType_GetName(Py_TYPE(exp_time)));
    raise(PyExc_TypeError, "exp_time must be an int, a float or None (no expiry), not %.200U",
          type_name.get());
}

}  // namespace

Ref op::token(const Args& a)
{
    auto [data, key, exp_time, issuer] = take<4>(a);  // mutate: equivalent swap (binds locals)
    Ref token_dict = own(PyDict_New());
    ok(PyDict_SetItem(token_dict.get(), N.data, data));  // mutate: equivalent swap (runs no code)
    Ref iat = clock_seconds();
    // mutate: equivalent ok-drop (a dict with room allocates nothing)
    ok(PyDict_SetItem(token_dict.get(), N.iat, iat.get()));
    ok(PyDict_SetItem(token_dict.get(), N.iss, issuer));
    // A lifetime is whole seconds: an int as it is, a float truncated; None asks for no
    // expiry, and any other type is refused rather than issuing a token that never expires.
    if (is_instance(exp_time, &PyLong_Type)) {
        Ref now = clock_seconds();
        Ref exp = own(PyNumber_Add(now.get(), exp_time));
        // mutate: equivalent ok-drop (a dict with room allocates nothing)
        ok(PyDict_SetItem(token_dict.get(), N.exp, exp.get()));
    }
    else if (is_instance(exp_time, &PyFloat_Type)) {
        Ref now = clock_seconds();
        Ref lifetime = own(PyNumber_Long(exp_time));
        Ref exp = own(PyNumber_Add(now.get(), lifetime.get()));
        // mutate: equivalent ok-drop (a dict with room allocates nothing)
        ok(PyDict_SetItem(token_dict.get(), N.exp, exp.get()));
    }
    else if (exp_time != Py_None) {
        lifetime_error(exp_time);
    }
    Ref encode_token = attr(global(N.jwt), N.encode);
    return call({encode_token, token_dict, key, N.HS256}, N.kw_algorithm);
}

Ref op::token_decrypt(const Args& a)
{
    auto [token, key, issuer] = take<3>(a);
    try {
        // mutate: equivalent swap (new_list runs no code)
        Ref decode_token = attr(global(N.jwt), N.decode);
        Ref algorithms = new_list({N.HS256});
        Ref claims = call({decode_token, token, key, issuer, algorithms}, N.kw_issuer_algorithms);
        return method(N.get, {claims, N.data});
    }
    catch (const PyErrSet&) {
        reraise_converted(converted);
    }
}

}  // namespace cm
