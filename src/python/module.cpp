// The module sorvan: its definition, its exec step and the once-per-process
// creation of the class objects.

#include "python/binding.hpp"
#include "python/types.hpp"

namespace sorvan::python {
namespace {

// Type objects are created on first use and kept for the life of the
// process. The PyMutex detaches the thread state while it waits, so a thread
// blocked here cannot deadlock against one holding the interpreter lock.
PyMutex types_lock = {};
PyObject* trie_type = nullptr;
PyObject* dawg_type = nullptr;

// A new reference to the type made from `spec`, created on first use.
PyObject* class_object(PyType_Spec& spec, PyObject*& cache) noexcept {
    PyMutex_Lock(&types_lock);
    if (!cache) cache = PyType_FromSpec(&spec);
    PyObject* type = Py_XNewRef(cache);
    PyMutex_Unlock(&types_lock);
    return type;
}

// Publishes the class under `name` and appends the name to __all__.
int add_class(PyObject* module, const char* name, PyType_Spec& spec, PyObject*& cache) noexcept {
    OwnedRef type = OwnedRef::steal(class_object(spec, cache));
    if (!type) return -1;
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttrString(module, "__all__", &found) < 0) return -1;
    OwnedRef all = OwnedRef::steal(found);
    if (!all) {
        all = OwnedRef::steal(PyList_New(0));
        if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return -1;
    }
    OwnedRef key = OwnedRef::steal(PyUnicode_FromString(name));
    if (!key || PyList_Append(all.get(), key.get()) < 0) return -1;
    return PyModule_AddObjectRef(module, name, type.get());
}

int sorvan_exec(PyObject* module) noexcept {
    if (!PyModule_Check(module)) {
        PyErr_Format(PyExc_TypeError, "expected a module, got %T", module);
        return -1;
    }
    if (add_class(module, "Trie", trie_spec(), trie_type) < 0) return -1;
    if (add_class(module, "DAWG", dawg_spec(), dawg_type) < 0) return -1;
    return 0;
}

PyModuleDef_Slot sorvan_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&sorvan_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef sorvan_module = {
    /* .m_base = */ PyModuleDef_HEAD_INIT,
    /* .m_name = */ "sorvan",
    /* .m_doc = */ "",
    /* .m_size = */ 0,
    /* .m_methods = */ nullptr,
    /* .m_slots = */ sorvan_slots,
    /* .m_traverse = */ nullptr,
    /* .m_clear = */ nullptr,
    /* .m_free = */ nullptr,
};

}  // namespace
}  // namespace sorvan::python

PyMODINIT_FUNC PyInit_sorvan(void) {
    return PyModuleDef_Init(&sorvan::python::sorvan_module);
}
