// The function type: creation from a method-table row, attributes, descriptor and vectorcall.
#include "module/function.hpp"
#include "module/stack.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace cm {

namespace {

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

// Native code may hold a method across Py_FinalizeEx and call it in the next runtime, where its
// names and its type died with the old one (each runtime makes its own type). Only the method
// table's C strings are still safe to read.
[[gnu::cold, gnu::noinline]] PyObject* from_finalised_runtime(PyObject* self)
{
    return PyErr_Format(
        PyExc_TypeError,
        "_Crypt.%s() belongs to a finalised Python runtime; import crypt_main again",
        as_function(self)->spec->name);
}

[[gnu::cold]] PyObject* too_deep()
{
    PyErr_SetString(PyExc_RecursionError,
                    "maximum recursion depth exceeded while calling a Python object");
    return nullptr;
}

PyObject* call_body(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames)
{
    const Function& f = *as_function(self);
    Args bound{};
    bind(f.sig, args, PyVectorcall_NARGS(nargsf), kwnames, bound);
    CallOwns owns(self, bound, f.sig.total);
    return f.body(bound).release();
}

// Where the stack's bounds are not known (unreadable, or the frame lies on a stack the program
// switched to), each call counts as a Python frame does, in the thread state: the nesting then
// stops where nested Python functions would, and greenlet saves and restores the count with
// the rest of the thread state.
[[gnu::cold, gnu::noinline]] PyObject* call_checked(PyObject* self, PyObject* const* args,
                                                    size_t nargsf, PyObject* kwnames,
                                                    std::uintptr_t here)
{
    switch (stack_room(here)) {
    case StackRoom::Enough:
        return guarded([&] { return call_body(self, args, nargsf, kwnames); }, nullptr);
    case StackRoom::TooLittle: return too_deep();
    case StackRoom::Unknown: break;
    }
    PyThreadState* ts = PyThreadState_Get();
    // mutate: equivalent int=<= 1 (the exact depth is no promise)
    if (ts->py_recursion_remaining <= 0) return too_deep();
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    --ts->py_recursion_remaining;
    PyObject* result = guarded([&] { return call_body(self, args, nargsf, kwnames); }, nullptr);
    ++ts->py_recursion_remaining;
    Py_LeaveRecursiveCall();
    return result;
}

// Not noexcept: a daemon thread ended at exit unwinds through here, and a noexcept frame
// would turn that into std::terminate.
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames)
{
    if (Py_TYPE(self) != g_runtime.function_type) [[unlikely]]
        return from_finalised_runtime(self);
    auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (here < t_stack_floor) [[unlikely]]
        return call_checked(self, args, nargsf, kwnames, here);
    return guarded([&] { return call_body(self, args, nargsf, kwnames); }, nullptr);
}

// As for a Python function: through the class the function itself, through an instance a
// bound method.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept
{
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept
{
    Py_VISIT(as_function(self)->home);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

void release_fields(Function* f) noexcept
{
    // mutate: equivalent (interned, so immortal; no code sees the order)
    for (PyObject*& p : f->sig.params) Py_CLEAR(p);
    Py_CLEAR(f->sig.defaults);  // mutate: equivalent swap (dealloc: no code sees the order)
    Py_CLEAR(f->name);      // mutate: equivalent (interned, so immortal; no code sees the order)
    Py_CLEAR(f->qualname);  // mutate: equivalent swap (dealloc: no code sees the order)
    Py_CLEAR(f->module);    // mutate: equivalent (interned, so immortal; no code sees the order)
    Py_CLEAR(f->doc);       // mutate: equivalent swap (dealloc: no code sees the order)
    Py_CLEAR(f->home);
}

void function_dealloc(PyObject* self) noexcept
{
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    release_fields(as_function(self));
    type->tp_free(self);  // mutate: equivalent swap (the runtime holds the type)
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

// One read-only row per attribute, as funcobject.c's OFF(x) rows.
constexpr PyMemberDef readonly(const char* name, int type, Py_ssize_t offset, const char* doc)
{
    return {name, type, offset, Py_READONLY, doc};
}

PyMemberDef function_members[] = {
    readonly("__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), nullptr),
    readonly("__name__", Py_T_OBJECT_EX, offsetof(Function, name), "the method name"),
    readonly("__qualname__", Py_T_OBJECT_EX, offsetof(Function, qualname),
             "the qualified name, _Crypt.<name>"),
    readonly("__module__", Py_T_OBJECT_EX, offsetof(Function, module),
             "the defining module's name"),
    readonly("__doc__", Py_T_OBJECT_EX, offsetof(Function, doc), "the signature text"),
    readonly("__defaults__", Py_T_OBJECT_EX, offsetof(Function, sig.defaults),
             "the default values of the trailing parameters, or None"),
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
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
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
    // GC: only `home` can lead back to the function (module, namespace, class, function), so
    // only it is visited. There is no tp_clear: the collector breaks that cycle by clearing the
    // module and its namespace, and the function's own fields stay whole for a finaliser or
    // weakref callback of the same collection that still calls it.
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR
             | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = function_slots,
};

// A default as the params column writes it: False, a decimal integer or a quoted string.
Ref parse_default(std::string_view text)
{
    // mutate: equivalent borrow-steal (immortal in 3.13)
    if (text == "False") return Ref::borrow(Py_False);
    // mutate: equivalent swap (binds a local)
    if (text.size() >= 2 && text.front() == '\'' && text.back() == '\'')
        // mutate: equivalent own-drop (the MemoryError stays set; the import fails with it)
        return own(
            PyUnicode_FromStringAndSize(text.data() + 1, static_cast<Py_ssize_t>(text.size() - 2)));
    std::string digits(text);
    return own(PyLong_FromString(digits.c_str(), nullptr, 10));
}

}  // namespace

void init_function_type()
{
    if (g_runtime.function_type) return;
    g_runtime.function_type =
        // mutate: equivalent own-drop (CPython's PyType_FromSpec does not survive the failure)
        reinterpret_cast<PyTypeObject*>(own(PyType_FromSpec(&function_spec)).release());
}

Ref make_function(const MethodSpec& spec, PyObject* home)
{
    PyTypeObject* type = g_runtime.function_type;
    Ref self = own(type->tp_alloc(type, 0));  // zeroed
    Function* f = as_function(self.get());
    f->vectorcall = function_vectorcall;
    f->spec = &spec;  // mutate: equivalent swap (fields of a new object)
    f->body = spec.body;

    // At most kMaxParams parameters, defaults last: checked when the table compiles.
    ParamList params = parse_params(spec.params);
    Signature& sig = f->sig;
    sig.name = spec.name;
    Ref defaults = own(PyTuple_New(static_cast<Py_ssize_t>(params.count - params.required)));
    for (std::size_t i = 0; i < params.count; ++i) {
        std::string name(params.items[i].name);
        // mutate: equivalent own-drop (the MemoryError stays set; the import fails with it)
        sig.params[sig.total++] = own(PyUnicode_InternFromString(name.c_str())).release();
        if (i >= params.required)
            PyTuple_SET_ITEM(defaults.get(), static_cast<Py_ssize_t>(i - params.required),
                             parse_default(params.items[i].default_text).release());
    }
    sig.required = static_cast<Py_ssize_t>(params.required);
    // mutate: equivalent incref-drop,swap (immortal in 3.13; fields of a new object)
    sig.defaults = PyTuple_GET_SIZE(defaults.get()) == 0 ? Py_NewRef(Py_None) : defaults.release();

    // mutate: equivalent own-drop (the MemoryError stays set; the import fails with it)
    f->name = own(PyUnicode_InternFromString(spec.name)).release();
    // mutate: equivalent own-drop (the MemoryError stays set; the import fails with it)
    f->qualname = own(PyUnicode_FromFormat("_Crypt.%s", spec.name)).release();
    f->module = Py_NewRef(N.module_name);  // mutate: equivalent incref-drop (interned, so immortal)
    // mutate: equivalent own-drop (the MemoryError stays set; the import fails with it)
    f->doc = own(PyUnicode_FromFormat("_Crypt.%s(%s)", spec.name, spec.params)).release();
    f->home = Py_NewRef(home);
    return self;
}

}  // namespace cm
