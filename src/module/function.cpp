// The function type: creation from a method-table row, attributes, descriptor and vectorcall.
#include "module/function.hpp"

#include <cstddef>
#include <string>
#include <string_view>

namespace cm {

namespace {

PyTypeObject* g_function_type = nullptr;

Function* as_function(PyObject* self) noexcept { return reinterpret_cast<Function*>(self); }

// A Python frame owns its function and its arguments for the length of a call, and so does
// this: the caller may hold only borrowed references (the interpreter calls a signal handler
// that way, and a bound method or a partial lends what it holds), and a call that drops the
// last of them must not free the defaults or arguments the body is using.
class CallOwns {
public:
    CallOwns(PyObject* self, const Args& bound, Py_ssize_t n)
        : self_(Ref::borrow(self)), bound_(bound), n_(n)
    {
        for (Py_ssize_t i = 0; i < n_; ++i) Py_INCREF(bound_[i]);
    }
    ~CallOwns() noexcept(false)
    {
        for (Py_ssize_t i = 0; i < n_; ++i) decref(bound_[i]);
    }
    CallOwns(const CallOwns&) = delete;
    CallOwns& operator=(const CallOwns&) = delete;

private:
    Ref self_;
    const Args& bound_;
    Py_ssize_t n_;
};

// How deeply this thread is nested in our functions. A str subclass whose encode is one of
// them recurses with no Python frame in between, each level taking C stack that a Python
// frame does not. The interpreter's own C-level limit (10,000 levels) would let that grow to
// several megabytes, more than a thread with a smaller stack has; counted against the limit
// Python functions obey, the nesting stops where theirs would, after a tenth of that. The
// limit is read only past a depth that no stack minds, and the counter is in the static TLS
// block: both keep the guard to a few instructions on every call.
[[gnu::tls_model("initial-exec")]] constinit thread_local int t_depth = 0;
constexpr int kShallow = 32;

[[gnu::cold]] PyObject* too_deep()
{
    PyErr_SetString(PyExc_RecursionError,
                    "maximum recursion depth exceeded while calling a Python object");
    return nullptr;
}

// Not noexcept: a daemon thread ended at exit unwinds through here, and a noexcept frame
// would turn that into std::terminate.
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames)
{
    if (t_depth >= kShallow && t_depth >= Py_GetRecursionLimit()) return too_deep();
    // Also counted where the interpreter counts C recursion, for a program that raised the
    // recursion limit far above the default.
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    ++t_depth;
    PyObject* result = guarded(
        [&] {
            const Function& f = *as_function(self);
            Args bound{};
            bind(f, args, PyVectorcall_NARGS(nargsf), kwnames, bound);
            CallOwns owns(self, bound, f.total);
            return f.body(bound).release();
        },
        nullptr);
    --t_depth;
    Py_LeaveRecursiveCall();
    return result;
}

// As for a Python function: through the class the function itself, through an instance a
// bound method.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept
{
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// The fields are strings and a tuple of constants, none of which can lead back to the
// function, so it takes no part in garbage collection: nothing can clear it while a finaliser
// or a weakref callback of the same collection still reaches it.
void function_clear(Function* f) noexcept
{
    for (PyObject*& p : f->params) Py_CLEAR(p);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
}

void function_dealloc(PyObject* self) noexcept
{
    PyTypeObject* type = Py_TYPE(self);
    function_clear(as_function(self));
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) noexcept
{
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// What inspect.signature and pydoc read for a method descriptor; __doc__ stays the
// signature text of the method table.
PyObject* function_text_signature(PyObject* self, void*) noexcept
{
    return PyUnicode_FromFormat("(%s)", as_function(self)->spec->params);
}

// Pickled by qualified name, as CPython pickles its own functions: unpickling looks up
// crypt_main._Crypt.<name> and finds this same object; copy and deepcopy return it as is.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept
{
    return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {},
};

PyMemberDef function_members[] = {
    {.name = "__vectorcalloffset__",
     .type = Py_T_PYSSIZET,
     .offset = offsetof(Function, vectorcall),
     .flags = Py_READONLY,
     .doc = nullptr},
    {.name = "__name__",
     .type = Py_T_OBJECT_EX,
     .offset = offsetof(Function, name),
     .flags = Py_READONLY,
     .doc = "the method name"},
    {.name = "__qualname__",
     .type = Py_T_OBJECT_EX,
     .offset = offsetof(Function, qualname),
     .flags = Py_READONLY,
     .doc = "the qualified name, _Crypt.<name>"},
    {.name = "__module__",
     .type = Py_T_OBJECT_EX,
     .offset = offsetof(Function, module),
     .flags = Py_READONLY,
     .doc = "the defining module's name"},
    {.name = "__doc__",
     .type = Py_T_OBJECT_EX,
     .offset = offsetof(Function, doc),
     .flags = Py_READONLY,
     .doc = "the signature text"},
    {.name = "__defaults__",
     .type = Py_T_OBJECT_EX,
     .offset = offsetof(Function, defaults),
     .flags = Py_READONLY,
     .doc = "the default values of the trailing parameters, or None"},
    {},
};

PyGetSetDef function_getset[] = {
    {.name = "__text_signature__",
     .get = function_text_signature,
     .set = nullptr,
     .doc = "the parameter list, as inspect.signature reads it",
     .closure = nullptr},
    {},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

PyType_Spec function_spec = {
    .name = "crypt_main.function",
    .basicsize = sizeof(Function),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR
             | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = function_slots,
};

// A default as the params column writes it: False, a decimal integer or a quoted string.
Ref parse_default(std::string_view text)
{
    if (text == "False") return Ref::borrow(Py_False);
    if (text.size() >= 2 && text.front() == '\'' && text.back() == '\'')
        return own(
            PyUnicode_FromStringAndSize(text.data() + 1, static_cast<Py_ssize_t>(text.size() - 2)));
    std::string digits(text);
    return own(PyLong_FromString(digits.c_str(), nullptr, 10));
}

}  // namespace

void init_function_type()
{
    if (g_function_type) return;
    g_function_type =
        reinterpret_cast<PyTypeObject*>(own(PyType_FromSpec(&function_spec)).release());
}

Ref make_function(const MethodSpec& spec)
{
    Ref self = own(g_function_type->tp_alloc(g_function_type, 0));  // zeroed
    Function* f = as_function(self.get());
    f->vectorcall = function_vectorcall;
    f->spec = &spec;
    f->body = spec.body;

    // Every row has at most kMaxParams parameters, defaults last: checked when compiling the
    // table (methods.cpp).
    Ref defaults = own(PyList_New(0));
    std::string_view rest = spec.params;
    while (!rest.empty()) {
        std::size_t comma = rest.find(", ");
        std::string_view param = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 2);
        std::size_t eq = param.find('=');
        std::string name(param.substr(0, eq));
        f->params[f->total++] = own(PyUnicode_InternFromString(name.c_str())).release();
        if (eq == std::string_view::npos) {
            ++f->required;
        }
        else {
            Ref value = parse_default(param.substr(eq + 1));
            ok(PyList_Append(defaults.get(), value.get()));
        }
    }

    f->name = own(PyUnicode_InternFromString(spec.name)).release();
    f->qualname = own(PyUnicode_FromFormat("_Crypt.%s", spec.name)).release();
    f->module = Py_NewRef(N.module_name);
    f->doc = own(PyUnicode_FromFormat("_Crypt.%s(%s)", spec.name, spec.params)).release();
    f->defaults = PyList_GET_SIZE(defaults.get()) == 0
                      ? Py_NewRef(Py_None)
                      : own(PyList_AsTuple(defaults.get())).release();
    return self;
}

void forget_function_type() noexcept { g_function_type = nullptr; }

}  // namespace cm
