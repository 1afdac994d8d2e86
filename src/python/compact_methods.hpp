#pragma once
// The methods of the compact form, shared by both classes: compact(),
// prepare(), save(path), the class method load(path, *, mmap=False), and pickling and
// copying through __reduce_ex__ and __setstate__, which carry the image.
//
// The classes say they live in 'builtins', where pickle cannot find them by
// name. A pickle therefore names the class as the result of calls on
// importable names, getattr(importlib.import_module('sorvan'), 'Trie'),
// written out by small reference objects (CallRef below) that reduce to
// those calls. The module itself gains no attribute.


#include "compact/image.hpp"
#include "python/lexicon_type.hpp"
#include "python/types.hpp"

namespace sorvan::python {

// ------------------------------------------------------------ CallRef ----
// A stand-in that pickles as the call `reduce[0](*reduce[1])` and, called,
// calls `target` (so that copy.copy, which calls what __reduce_ex__ names
// without pickling it, gets the class itself).

struct CallRef {
    PyObject_HEAD
    PyObject* target;  // strong, may be None
    PyObject* reduce;  // strong: (callable, args)
};

inline void call_ref_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    auto* ref = reinterpret_cast<CallRef*>(self);
    Py_XDECREF(ref->target);
    Py_XDECREF(ref->reduce);
    PyObject_Free(self);
    Py_DECREF(type);
}

inline PyObject* call_ref_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return PyObject_Call(reinterpret_cast<CallRef*>(self)->target, args, kwargs);
}

inline PyObject* call_ref_reduce(PyObject* self, PyObject*) noexcept {
    return Py_NewRef(reinterpret_cast<CallRef*>(self)->reduce);
}

// The CallRef type's PyType_Spec (see class_object).
inline PyType_Spec& call_ref_spec() noexcept {
    static PyMethodDef methods[] = {
        {"__reduce__", reinterpret_cast<PyCFunction>(&call_ref_reduce), METH_NOARGS, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(&call_ref_dealloc)},
        {Py_tp_call, reinterpret_cast<void*>(&call_ref_call)},
        {Py_tp_methods, methods},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        /* .name = */ "sorvan._CallRef",
        /* .basicsize = */ static_cast<int>(sizeof(CallRef)),
        /* .itemsize = */ 0,
        /* .flags = */ Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        /* .slots = */ slots,
    };
    return spec;
}

// A new CallRef standing for `target` that pickles as callable(*args).
// Borrows its arguments.
inline PyObject* new_call_ref(PyObject* target, PyObject* callable, PyObject* args) noexcept {
    OwnedRef type = OwnedRef::steal(class_object<call_ref_spec>());
    if (!type) return nullptr;
    OwnedRef reduce = OwnedRef::steal(PyTuple_Pack(2, callable, args));
    if (!reduce) return nullptr;
    auto* ref = PyObject_New(CallRef, reinterpret_cast<PyTypeObject*>(type.get()));
    if (!ref) return nullptr;  // (PyObject_New took the instance's reference to the type)
    ref->target = Py_NewRef(target);
    ref->reduce = reduce.release();
    return reinterpret_cast<PyObject*>(ref);
}

// A new reference to attribute `name` of module `module`.
inline PyObject* module_attribute(const char* module, const char* name) noexcept {
    OwnedRef imported = OwnedRef::steal(PyImport_ImportModule(module));
    if (!imported) return nullptr;
    return PyObject_GetAttrString(imported.get(), name);
}

// A new CallRef for the class of `self`, pickled as
// getattr(importlib.import_module('sorvan'), '<name>').
template <class Lexicon>
PyObject* class_ref(PyObject* self) noexcept {
    OwnedRef import_module = OwnedRef::steal(module_attribute("importlib", "import_module"));
    OwnedRef getattr = OwnedRef::steal(module_attribute("builtins", "getattr"));
    if (!import_module || !getattr) return nullptr;
    OwnedRef module_args = OwnedRef::steal(Py_BuildValue("(s)", "sorvan"));
    if (!module_args) return nullptr;
    OwnedRef module_ref = OwnedRef::steal(new_call_ref(Py_None, import_module.get(), module_args.get()));
    if (!module_ref) return nullptr;
    OwnedRef class_args = OwnedRef::steal(Py_BuildValue("(Os)", module_ref.get(), LexiconTraits<Lexicon>::name));
    if (!class_args) return nullptr;
    return new_call_ref(reinterpret_cast<PyObject*>(Py_TYPE(self)), getattr.get(), class_args.get());
}

// ------------------------------------------------------------ methods ----
//
// Making an image and validating one are passes over the whole lexicon
// (minutes for tens of millions of words): they poll for signals as the
// searches do, and a handler that raises (Ctrl-C) stops them with the
// lexicon as it was.

template <class Lexicon>
PyObject* lexicon_compact(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        auto* object = object_of<Lexicon>(self);
        auto borrow = ExclusiveBorrow::acquire(object->borrow);
        if (!borrow) return nullptr;
        Cancel cancel(&signal_raised, nullptr);
        return none_unless_stopped(object->lexicon.compact(&cancel), cancel);
    });
}

// Builds what queries would build for themselves: a read, which the
// structures it builds do not change the answers of.
template <class Lexicon>
PyObject* lexicon_prepare(PyObject* self, PyObject*) noexcept {
    return read_lexicon<Lexicon>(self, [](const Lexicon& lexicon) -> PyObject* {
        Cancel cancel(&signal_raised, nullptr);
        return none_unless_stopped(lexicon.prepare(&cancel), cancel);
    });
}

template <class Lexicon>
PyObject* lexicon_save(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) noexcept {
    static constexpr Signature sig{"save", {"path"}, 1};
    return call_method<Lexicon, SharedBorrow>(
        self, sig, args, nargsf, kwnames, [](const Lexicon& lexicon, const auto& argv) -> PyObject* {
            PathView path;
            if (!to_path(argv[0], "path", path)) return nullptr;
            Cancel cancel(&signal_raised, nullptr);
            return none_unless_stopped(lexicon.save(path.bytes, &cancel), cancel);
        });
}

// A new instance of `type` holding the lexicon of `image`, or nullptr with
// ValueError when the image is of the other class (or with the signal
// handler's exception when `cancel` stopped the opening).
template <class Lexicon>
PyObject* from_image(PyTypeObject* type, Result<CompactImage> image, const Cancel& cancel) {
    if (cancel.cancelled()) return nullptr;
    if (!image) return raise_sorvan_error(image.error());
    auto lexicon = Lexicon::from_image(std::move(*image));
    if (!lexicon) return raise_sorvan_error(lexicon.error());
    return adopt_lexicon(type, std::move(*lexicon));
}

template <class Lexicon>
PyObject* lexicon_load(PyObject* cls, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) noexcept {
    static constexpr Signature sig{"load", {"path", "mmap"}, 1, 1};  // mmap is keyword-only
    return guarded([&]() -> PyObject* {
        Arguments<2> argv{};
        if (!parse_args(sig, args, nargsf, kwnames, argv)) return nullptr;
        PathView path;
        bool map = false;
        if (!to_path(argv[0], "path", path) || !to_bool(argv[1], "mmap", map)) return nullptr;
        Cancel cancel(&signal_raised, nullptr);
        return from_image<Lexicon>(reinterpret_cast<PyTypeObject*>(cls), CompactImage::load(path.bytes, map, &cancel), cancel);
    });
}

// __reduce_ex__(protocol): (class, (), image). From protocol 5 the image
// goes as a PickleBuffer, which a pickler may hand out of band.
template <class Lexicon>
PyObject* lexicon_reduce_ex(PyObject* self, PyObject* protocol_arg) noexcept {
    return guarded([&]() -> PyObject* {
        const long protocol = PyLong_AsLong(protocol_arg);
        if (protocol == -1 && PyErr_Occurred()) return nullptr;
        OwnedRef callable = OwnedRef::steal(class_ref<Lexicon>(self));
        if (!callable) return nullptr;
        OwnedRef state;
        {
            auto* object = object_of<Lexicon>(self);
            auto borrow = SharedBorrow::acquire(object->borrow);
            if (!borrow) return nullptr;
            Cancel cancel(&signal_raised, nullptr);
            const Status made = object->lexicon.with_image_bytes(
                [&](const std::uint8_t* data, std::size_t size) -> Status {
                    state = OwnedRef::steal(
                        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
                    return {};
                },
                &cancel);
            if (cancel.cancelled()) return nullptr;
            if (!succeeded(made)) return nullptr;
        }
        if (!state) return nullptr;
        if (protocol >= 5) {
            state = OwnedRef::steal(PyPickleBuffer_FromObject(state.get()));
            if (!state) return nullptr;
        }
        return Py_BuildValue("(O()O)", callable.get(), state.get());
    });
}

// __setstate__(image): the lexicon becomes the one in the image (any object
// with the buffer interface).
template <class Lexicon>
PyObject* lexicon_setstate(PyObject* self, PyObject* state) noexcept {
    return guarded([&]() -> PyObject* {
        Py_buffer view;
        if (PyObject_GetBuffer(state, &view, PyBUF_SIMPLE) < 0) return nullptr;
        Cancel cancel(&signal_raised, nullptr);
        auto image = CompactImage::copy_of(static_cast<const std::uint8_t*>(view.buf),
                                           static_cast<std::size_t>(view.len), &cancel);
        PyBuffer_Release(&view);
        if (cancel.cancelled()) return nullptr;
        if (!image) return raise_sorvan_error(image.error());
        auto lexicon = Lexicon::from_image(std::move(*image));
        if (!lexicon) return raise_sorvan_error(lexicon.error());
        auto* object = object_of<Lexicon>(self);
        auto borrow = ExclusiveBorrow::acquire(object->borrow);
        if (!borrow) return nullptr;
        object->lexicon = std::move(*lexicon);
        Py_RETURN_NONE;
    });
}

// The method-table rows of the compact form, for a class's method table.
#define SORVAN_COMPACT_METHODS(Lexicon)                                                                 \
    {"compact", as_method(&lexicon_compact<Lexicon>), METH_NOARGS, LexiconDocs<Lexicon>::compact},      \
    {"prepare", as_method(&lexicon_prepare<Lexicon>), METH_NOARGS, LexiconDocs<Lexicon>::prepare},      \
    {"save", as_method(&lexicon_save<Lexicon>), fastcall, LexiconDocs<Lexicon>::save},                  \
    {"load", as_method(&lexicon_load<Lexicon>), fastcall | METH_CLASS, LexiconDocs<Lexicon>::load},     \
    {"__reduce_ex__", as_method(&lexicon_reduce_ex<Lexicon>), METH_O, LexiconDocs<Lexicon>::reduce_ex}, \
    {"__setstate__", as_method(&lexicon_setstate<Lexicon>), METH_O, LexiconDocs<Lexicon>::setstate}

}  // namespace sorvan::python
