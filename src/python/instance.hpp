// The instance layout shared by both classes and the accessors of their type objects.
#pragma once

#include <Python.h>

#include <new>
#include <utility>

#include "base/ndarray.hpp"
#include "handles.hpp"

namespace tarvik::python {

// Header, the owned array, and the borrow counter. No dictionary, no weak-reference list.
template <class T>
struct ArrayObject {
    PyObject_HEAD
    NDArray<T> array;
    BorrowCounter borrow;
};

template <class T>
ArrayObject<T>& instance(PyObject* object) {
    return *reinterpret_cast<ArrayObject<T>*>(object);
}

// The type objects, built on first use (the module body).
PyTypeObject* ndarray_type();
PyTypeObject* bool_array_type();

template <class T>
PyTypeObject* type_of();
template <>
inline PyTypeObject* type_of<double>() { return ndarray_type(); }
template <>
inline PyTypeObject* type_of<std::uint8_t>() { return bool_array_type(); }

// Allocates an instance of `type` through its allocation slot and moves `array` into it with a free
// borrow counter. Returns null with the interpreter's error set when allocation fails.
template <class T>
PyObject* new_instance(PyTypeObject* type, NDArray<T>&& array) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* object = (alloc != nullptr ? alloc : PyType_GenericAlloc)(type, 0);
    if (object == nullptr) return nullptr;
    ArrayObject<T>& self = instance<T>(object);
    ::new (&self.array) NDArray<T>(std::move(array));
    self.borrow = 0;
    return object;
}

// tp_dealloc: destroys the array in place, frees through the type's slot, drops the type.
template <class T>
void dealloc(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    instance<T>(object).array.~NDArray<T>();
    auto release = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    release(object);
    Py_DECREF(type);
}

}  // namespace tarvik::python
