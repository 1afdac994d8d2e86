#pragma once
// The type specs of the module's classes, one per class file.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace sorvan::python {

PyType_Spec& trie_spec() noexcept;
PyType_Spec& dawg_spec() noexcept;

}  // namespace sorvan::python
