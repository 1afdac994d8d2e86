// The module sorvan: its definition and its exec step, which publishes the
// classes (made once per process: see class_object).

#include "python/binding.hpp"
#include "python/types.hpp"

namespace sorvan::python {
namespace {

// Publishes the class `new_type` (a new reference, stolen; nullptr when it
// could not be made) under `name` and appends the name to __all__.
int add_class(PyObject* module, const char* name, PyObject* new_type) noexcept {
    OwnedRef type = OwnedRef::steal(new_type);
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
    if (add_class(module, "Trie", class_object<trie_spec>()) < 0) return -1;
    if (add_class(module, "DAWG", class_object<dawg_spec>()) < 0) return -1;
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
