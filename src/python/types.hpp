#pragma once
// The module's classes: the type specs, one per class file, and the one
// cache of the class objects made from them.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace sorvan::python {

PyType_Spec& trie_spec() noexcept;
PyType_Spec& dawg_spec() noexcept;

// Guards every class object of the cache below. A PyMutex detaches the
// thread state while it waits, so a thread blocked here cannot deadlock
// against one holding the interpreter lock.
inline PyMutex classes_lock = {};

// A new reference to the class made from spec(), created on first use and
// kept for the life of the process; nullptr with an exception set when it
// cannot be made.
template <PyType_Spec& (*spec)() noexcept>
PyObject* class_object() noexcept {
    static PyObject* made = nullptr;  // guarded by classes_lock
    PyMutex_Lock(&classes_lock);
    if (!made) made = PyType_FromSpec(&spec());
    PyObject* type = Py_XNewRef(made);
    PyMutex_Unlock(&classes_lock);
    return type;
}

}  // namespace sorvan::python
