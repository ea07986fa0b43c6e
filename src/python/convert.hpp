// Conversions between Python objects and engine values, in both directions.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>

#include "barrier.hpp"
#include "base/ndarray.hpp"
#include "handles.hpp"
#include "instance.hpp"

namespace tarvik::python {

// ---- Arguments to engine values. Each throws PythonError with the interpreter's error set.

// The interpreter's float conversion (floats, ints, `__float__`, `__index__`).
double to_double(PyObject* object);
// An int, or an object with `__index__`, read as an unsigned 64-bit integer.
std::uint64_t to_unsigned(PyObject* object);
// Exactly True or False, or an object whose type is named "numpy.bool_" (or "numpy.bool").
std::uint8_t to_flag(PyObject* object);

// Returns `object` when it is an instance of `type`, else raises the conversion's TypeError.
PyObject* checked_instance(PyObject* object, PyTypeObject* type);

// Re-raises a pending TypeError as "argument '{parameter}': {text}", keeping its cause; any other
// pending error stays as it is.
void name_type_error(const char* parameter);

// An index that lives on the stack when short, so that `get` allocates nothing.
class SmallIndex {
public:
    using value_type = std::uint64_t;

    void reserve(std::uint64_t n) {
        if (!spilled_ && n > local_.size()) spill(n);
    }
    void push_back(std::uint64_t value) {
        if (spilled_ || size_ == local_.size()) {
            if (!spilled_) spill(size_ + 1);
            heap_.push_back(value);
        } else {
            local_[size_++] = value;
        }
    }
    operator Index() const { return spilled_ ? Index(heap_) : Index(local_.data(), size_); }

private:
    // Moves what the stack holds to the heap, with room for `n` entries; happens at most once.
    void spill(std::uint64_t n) {
        reserve_exact(heap_, n);
        heap_.assign(local_.begin(), local_.begin() + size_);
        spilled_ = true;
    }

    std::array<std::uint64_t, 8> local_;
    std::size_t size_ = 0;
    bool spilled_ = false;
    Buffer<std::uint64_t> heap_;
};

template <class T>
void reserve(Buffer<T>& out, std::uint64_t n) {
    reserve_exact(out, n);
}
inline void reserve(SmallIndex& out, std::uint64_t n) { out.reserve(n); }

// Whether converting `item` can run Python code (and so change the list it came from).
template <class Value>
bool runs_python(PyObject* item);
template <>
inline bool runs_python<double>(PyObject* item) { return !Py_IS_TYPE(item, &PyFloat_Type); }
template <>
inline bool runs_python<std::uint64_t>(PyObject* item) { return !Py_IS_TYPE(item, &PyLong_Type); }
template <>
inline bool runs_python<std::uint8_t>(PyObject* item) { return item != Py_True && item != Py_False; }

[[noreturn]] void raise_not_a_sequence(PyObject* object);

// Any object that passes the interpreter's sequence test, except `str`, converted item by item in
// iteration order. Exact lists and tuples are read by position, which is what iterating them does.
template <class Sink>
Sink to_sequence(PyObject* object, typename Sink::value_type (*convert_item)(PyObject*)) {
    using Value = typename Sink::value_type;
    if (PyUnicode_Check(object)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    Sink out;
    if (PyTuple_CheckExact(object)) {
        // The tuple is held for the call and cannot change, so its items stay alive.
        const Py_ssize_t length = PyTuple_Size(object);
        reserve(out, static_cast<std::uint64_t>(length));
        for (Py_ssize_t i = 0; i < length; ++i) out.push_back(convert_item(PyTuple_GetItem(object, i)));
        return out;
    }
    if (PyList_CheckExact(object)) {
        reserve(out, static_cast<std::uint64_t>(PyList_Size(object)));
        // Python code run by a conversion may resize the list: re-read the length every step, as
        // the list iterator does, and hold the item while it is converted.
        for (Py_ssize_t i = 0; i < PyList_Size(object); ++i) {
            PyObject* item = PyList_GetItem(object, i);
            if (!runs_python<Value>(item)) {
                out.push_back(convert_item(item));
            } else {
                PyRef held = PyRef::borrowed(item);
                out.push_back(convert_item(item));
            }
        }
        return out;
    }
    if (!PySequence_Check(object)) raise_not_a_sequence(object);
    const Py_ssize_t length = PySequence_Size(object);
    if (length < 0)
        PyErr_Clear();
    else
        reserve(out, static_cast<std::uint64_t>(length));
    PyRef iterator(checked(PyObject_GetIter(object)));
    while (PyRef item{PyIter_Next(iterator.get())}) out.push_back(convert_item(item.get()));
    if (PyErr_Occurred()) throw PythonError{};
    return out;
}

// ---- Engine results to Python objects. A failure to create one is an internal fault.

PyObject* to_python(double value);
PyObject* to_python(std::uint64_t value);
// A new PyNDArray that takes over the array's sequences.
PyObject* to_python(FloatArray&& array);
// Copies the view out while the caller still holds its borrows.
PyObject* to_python(const NDArrayView& view);
// The extents as a list of ints.
PyObject* shape_list(Index shape);
PyObject* none();

}  // namespace tarvik::python
