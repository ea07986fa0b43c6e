// Module initialisation: one module object per process, owned by the first interpreter that
// imports it.
#include <Python.h>

#include <atomic>
#include <cstdint>

// One binary serves every interpreter from 3.12 on only if nothing outside the stable ABI is used.
#if !defined(Py_LIMITED_API) || Py_LIMITED_API + 0 != 0x030C0000
#error "the module must be built against the limited API of CPython 3.12"
#endif

#include "barrier.hpp"
#include "handles.hpp"
#include "instance.hpp"

namespace tarvik::python {

namespace {

PyModuleDef definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "tarvik",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// The interpreter that first initialised the module; set once, by compare-and-swap from -1.
std::atomic<std::int64_t> owner_interpreter{-1};
// Created once and kept for the life of the process.
PyObject* module_object = nullptr;

// Appends `name` to `__all__` (created on the first addition), then sets the attribute.
void add_to_module(PyObject* module, const char* name, PyTypeObject* type) {
    PyObject* dict = checked(PyModule_GetDict(module));
    PyObject* all = PyDict_GetItemString(dict, "__all__");
    PyRef created;
    if (all == nullptr) {
        created = PyRef(checked(PyList_New(0)));
        if (PyDict_SetItemString(dict, "__all__", created.get()) < 0) throw PythonError{};
        all = created.get();
    }
    PyRef text(checked(PyUnicode_FromString(name)));
    if (PyList_Append(all, text.get()) < 0) {
        PyErr_Clear();
        fail_internal("could not append __name__ to __all__");
    }
    if (PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) < 0) throw PythonError{};
}

PyObject* initialise() {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) {
        if (!PyErr_Occurred()) raise(PyExc_SystemError, "attempted to fetch exception but none was set");
        throw PythonError{};
    }
    std::int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, current, std::memory_order_acq_rel) &&
        expected != current)
        raise(PyExc_ImportError, "tarvik does not support sub-interpreters: it is already loaded in another "
                                 "interpreter of this process");
    if (module_object != nullptr) return Py_NewRef(module_object);

    PyRef module(checked(PyModule_Create(&definition)));
    add_to_module(module.get(), "PyNDArray", ndarray_type());
    add_to_module(module.get(), "PyBoolArray", bool_array_type());
    module_object = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

}  // namespace tarvik::python

PyMODINIT_FUNC PyInit_tarvik() { return tarvik::python::barrier(tarvik::python::initialise); }
