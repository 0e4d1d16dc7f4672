// The entry point: a multi-phase module definition whose create slot keeps one module per
// runtime and whose exec slot runs the import steps once.
#include "module/function.hpp"

#include <cstdint>

namespace cm {

namespace {

// An atexit function: atexit runs them before the runtime starts ending daemon threads.
PyObject* on_exit(PyObject*, PyObject*) noexcept
{
    g_exiting = true;
    Py_RETURN_NONE;
}

PyMethodDef on_exit_def = {"_crypt_main_exiting", on_exit, METH_NOARGS, nullptr};

void register_exit_hooks()
{
    if (g_runtime.exit_hooks) return;  // mutate: equivalent swap (atexit is imported already)
    Ref atexit = own(PyImport_Import(N.atexit));
    Ref register_ = attr(atexit, N.register_);
    Ref hook = own(PyCFunction_New(&on_exit_def, nullptr));
    call({register_, hook});  // mutate: equivalent swap (both at import, in either order)
    if (Py_AtExit(forget_runtime) < 0)
        raise(PyExc_RuntimeError, "crypt_main: no room left for its exit function");
    g_runtime.exit_hooks = true;
}

void check_version(PyObject*)
{
    unsigned long major = Py_Version >> 24;
    unsigned long minor = (Py_Version >> 16) & 0xFF;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return;
    ok(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                        "compile time Python version %d.%d of module '%.100s' %s runtime "
                        "version %d.%d",
                        PY_MAJOR_VERSION, PY_MINOR_VERSION, "crypt_main", "does not match",
                        static_cast<int>(major), static_cast<int>(minor)));
}

void bind_all(PyObject* m)
{
    Ref all = own(PyList_New(1));
    PyList_SET_ITEM(all.get(), 0, Py_NewRef(N.m_crypt));
    ok(PyModule_Add(m, "__all__", all.release()));
}

struct Import {
    const char* module;
    const char* name;  // nullptr for `import module`
};

constexpr Import kImports[] = {
    {"base64", nullptr},
    {"hashlib", nullptr},
    {"hmac", nullptr},
    {"time", nullptr},
    {"binascii", "a2b_hex"},
    {"binascii", "b2a_hex"},
    {"jwt", nullptr},
    {"rsa", nullptr},
    {"Crypto.Cipher", "AES"},
    {"Crypto.Cipher", "DES"},
    {"Crypto.Util.Padding", "pad"},
    {"Crypto.Util.Padding", "unpad"},
};

// `from X import Y`: the attribute, else an already-loaded submodule X.Y.
Ref import_from(PyObject* module, PyObject* module_name, PyObject* name)
{
    PyObject* value = PyObject_GetAttr(module, name);
    if (value) return Ref::steal(value);
    // CPython 3.13's module getattr can fail without an exception when an allocation fails
    // inside it; that is taken as absence, as an AttributeError is.
    if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrSet{};
    PyErr_Clear();
    Ref full = own(PyUnicode_FromFormat("%U.%U", module_name, name));
    value = PyImport_GetModule(full.get());
    if (value) return Ref::steal(value);
    if (PyErr_Occurred()) throw PyErrSet{};
    raise(PyExc_ImportError, "cannot import name %S", name);
}

void import_names(PyObject* m)
{
    PyObject* globals = PyModule_GetDict(m);
    for (const Import& imp : kImports) {
        Ref module_name = own(PyUnicode_FromString(imp.module));
        if (!imp.name) {
            Ref module = own(
                PyImport_ImportModuleLevelObject(module_name.get(), globals, nullptr, nullptr, 0));
            ok(PyModule_Add(m, imp.module, module.release()));
            continue;
        }
        Ref name = own(PyUnicode_FromString(imp.name));
        Ref fromlist = own(PyTuple_Pack(1, name.get()));
        Ref module = own(PyImport_ImportModuleLevelObject(module_name.get(), globals, nullptr,
                                                          fromlist.get(), 0));
        Ref value = import_from(module.get(), module_name.get(), name.get());
        ok(PyModule_Add(m, imp.name, value.release()));
    }
}

void build_class(PyObject* m)
{
    Ref ns = own(PyDict_New());  // mutate: equivalent own-drop (from the free list: no allocation)
    ok(PyDict_SetItem(ns.get(), N.dunder_module, N.module_name));
    // mutate: equivalent ok-drop,swap (a second key allocates nothing; type() takes it out)
    ok(PyDict_SetItem(ns.get(), N.dunder_qualname, N.Crypt));
    for (const MethodSpec& spec : method_table()) {
        Ref fn = make_function(spec, m);
        if (spec.kind == Kind::Static) fn = own(PyStaticMethod_New(fn.get()));
        ok(PyDict_SetItemString(ns.get(), spec.name, fn.get()));
    }
    Ref bases = own(PyTuple_New(0));
    Ref cls = call({reinterpret_cast<PyObject*>(&PyType_Type), N.Crypt, bases, ns});
    ok(PyModule_Add(m, "_Crypt", cls.release()));
}

void make_instance(PyObject* m)
{
    PyObject* cls = nullptr;
    ok(PyDict_GetItemRef(PyModule_GetDict(m), N.Crypt, &cls));
    if (!cls) name_error(N.Crypt);
    Ref owned = Ref::steal(cls);
    ok(PyModule_Add(m, "m_crypt", call({owned}).release()));
}

// A module that is no longer the one: a failed import's, or one the collector is ending after
// nothing reached it any more. The next import makes a new one.
void forget_module(PyObject* m) noexcept
{
    if (m != g_runtime.module) return;
    g_runtime.module = nullptr;
    g_runtime.initialised = false;  // mutate: equivalent swap (no code reads the flag meanwhile)
    clear_globals();
}

using Step = void (*)(PyObject*);
constexpr Step kImportSteps[] = {check_version, bind_all, import_names, build_class, make_instance};

// Neither slot is noexcept: an import can run on a daemon thread that is ended at exit,
// whose forced unwind must pass (see guarded).
PyObject* module_create(PyObject* spec, PyModuleDef*)
{
    int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (g_runtime.interpreter == -1) g_runtime.interpreter = interpreter;
    if (interpreter != g_runtime.interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    // The one module of the runtime, so that a re-import after `del sys.modules["crypt_main"]`
    // gets the same object back. Kept borrowed: its functions own it, as Python functions own
    // their globals, and it forgets itself when the collector clears or frees it.
    if (g_runtime.module) return Py_NewRef(g_runtime.module);
    return guarded(
        [&] {
            init_names();
            register_exit_hooks();
            init_function_type();
            Ref name = own(PyObject_GetAttrString(spec, "name"));
            Ref module = own(PyModule_NewObject(name.get()));
            set_globals(PyModule_GetDict(module.get()));
            g_runtime.module = module.get();
            return module.release();
        },
        nullptr);
}

int module_exec(PyObject* m)
{
    if (m != g_runtime.module) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'crypt_main' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    // Also while the steps run: a dependency that re-imports us sees the partial module,
    // as with any circular import.
    if (g_runtime.initialised || g_runtime.running) return 0;
    g_runtime.running = true;
    int rc = guarded(
        [&] {
            for (Step step : kImportSteps) step(m);
            return 0;
        },
        -1);  // mutate: equivalent int (any negative is the error)
    g_runtime.running = false;
    g_runtime.initialised = rc == 0;
    // Forget a half-built module, so that the next import starts again from the top.
    if (rc < 0) forget_module(m);
    return rc;
}

int module_clear(PyObject* m) noexcept
{
    forget_module(m);
    return 0;
}

void module_free(void* m) noexcept { forget_module(static_cast<PyObject*>(m)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "crypt_main",
    .m_doc = nullptr,  // set from the method table at each load
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = module_clear,
    .m_free = module_free,
};

}  // namespace

}  // namespace cm

PyMODINIT_FUNC PyInit_crypt_main(void)
{
    cm::module_def.m_doc = cm::module_doc();
    return PyModuleDef_Init(&cm::module_def);
}
