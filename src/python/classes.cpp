// The two classes: each method converts its arguments, calls the engine and converts the result;
// the dispatch templates around it parse, borrow and catch faults.
#include <Python.h>

#include "dispatch.hpp"
#include "elementwise.hpp"
#include "matrix.hpp"
#include "reductions.hpp"
#include "selection.hpp"
#include "slicing.hpp"

namespace tarvik::python {

namespace {

using Self = const FloatArray;

// ---- Constructors

FloatArray ndarray_new(Arguments& in) {
    Buffer<double> data = in.reals();
    return new_array(std::move(data), in.shape());
}

BoolArray bool_array_new(Arguments& in) {
    Buffer<std::uint8_t> data = in.flags();
    return new_array(std::move(data), in.shape());
}

// ---- Methods of PyNDArray

PyObject* get(Self& self, Arguments& in) { return to_python(tarvik::get(self, in.index())); }
PyObject* shape(Self& self) { return shape_list(self.shape); }
PyObject* sum(Self& self) { return to_python(tarvik::sum(self)); }
PyObject* mean(Self& self) { return to_python(tarvik::mean(self)); }
PyObject* relu(Self& self) { return to_python(tarvik::relu(self)); }
PyObject* sigmoid(Self& self) { return to_python(tarvik::sigmoid(self)); }
PyObject* softmax(Self& self) { return to_python(tarvik::softmax(self)); }
PyObject* transpose(Self& self) { return to_python(tarvik::transpose(self)); }
PyObject* argmax(Self& self) { return to_python(tarvik::argmax(self)); }
PyObject* scale(Self& self, Arguments& in) { return to_python(tarvik::scale(self, in.real())); }
PyObject* add(Self& self, Arguments& in) { return to_python(tarvik::add(self, in.array<double>())); }
PyObject* mul(Self& self, Arguments& in) { return to_python(tarvik::mul(self, in.array<double>())); }
PyObject* matmul(Self& self, Arguments& in) { return to_python(tarvik::matmul(self, in.array<double>())); }
PyObject* matmul_blas(Self& self, Arguments& in) { return to_python(tarvik::matmul_blas(self, in.array<double>())); }
PyObject* boolean_mask(Self& self, Arguments& in) {
    return to_python(tarvik::boolean_mask(self, in.array<std::uint8_t>()));
}

PyObject* masked_fill(FloatArray& self, Arguments& in) {
    const BoolArray& mask = in.array<std::uint8_t>();
    tarvik::masked_fill(self, mask, in.real());
    return none();
}

PyObject* where_(Self& self, Arguments& in) {
    const BoolArray& condition = in.array<std::uint8_t>();
    return to_python(tarvik::where_(self, condition, in.array<double>()));
}

PyObject* fancy_index(Self& self, Arguments& in) { return to_python(tarvik::fancy_index(self, in.index())); }
PyObject* slice_row(Self& self, Arguments& in) { return to_python(tarvik::slice_row(self, in.whole())); }
PyObject* slice_col(Self& self, Arguments& in) { return to_python(tarvik::slice_col(self, in.whole())); }

PyObject* slice_range(Self& self, Arguments& in) {
    const auto [axis, start, end] = std::tuple{in.whole(), in.whole(), in.whole()};
    return to_python(tarvik::slice_range(self, axis, start, end));
}

PyObject* reshape(Self& self, Arguments& in) { return to_python(tarvik::reshape(self, in.shape())); }

PyObject* gather(Self& self, Arguments& in) {
    const std::uint64_t axis = in.whole();
    return to_python(tarvik::gather(self, axis, in.index()));
}

PyObject* set_slice(FloatArray& self, Arguments& in) {
    const auto [axis, start, end, value] = std::tuple{in.whole(), in.whole(), in.whole(), in.real()};
    tarvik::set_slice(self, axis, start, end, value);
    return none();
}

PyObject* cumsum(Self& self) { return to_python(tarvik::cumsum(self)); }

// ---- Methods of PyBoolArray

PyObject* bool_array_shape(const BoolArray& self) { return shape_list(self.shape); }

// ---- Type objects

template <class T>
PyTypeObject* build_type(const char* spec_name, Id constructor_id, PyType_Slot new_slot, PyMethodDef* methods) {
    PyType_Slot slots[] = {
        {Py_tp_base, &PyBaseObject_Type},
        new_slot,
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<T>)},
        {Py_tp_doc, const_cast<char*>(docstring(callable(constructor_id)))},
        {Py_tp_methods, methods},
        {0, nullptr},
    };
    PyType_Spec spec = {
        .name = spec_name,
        .basicsize = static_cast<int>(sizeof(ArrayObject<T>)),
        .itemsize = 0,
        .flags = Py_TPFLAGS_DEFAULT,
        .slots = slots,
    };
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) {
        PyErr_PrintEx(0);
        fail_internal("failed to create type object for {}", {callable(constructor_id).class_name});
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

// The method tables are built on first use, inside the initialisation's fault barrier, in the
// order the classes list their methods.
PyTypeObject* ndarray_type() {
    static PyMethodDef ndarray_methods[] = {
        method_entry<Id::get, get>(),
        method_entry<Id::shape, shape>(),
        method_entry<Id::sum, sum>(),
        method_entry<Id::mean, mean>(),
        method_entry<Id::relu, relu>(),
        method_entry<Id::sigmoid, sigmoid>(),
        method_entry<Id::softmax, softmax>(),
        method_entry<Id::transpose, transpose>(),
        method_entry<Id::argmax, argmax>(),
        method_entry<Id::scale, scale>(),
        method_entry<Id::add, add>(),
        method_entry<Id::mul, mul>(),
        method_entry<Id::matmul, matmul>(),
        method_entry<Id::matmul_blas, matmul_blas>(),
        method_entry<Id::boolean_mask, boolean_mask>(),
        method_entry<Id::masked_fill, masked_fill>(),
        method_entry<Id::where_, where_>(),
        method_entry<Id::fancy_index, fancy_index>(),
        method_entry<Id::slice_row, slice_row>(),
        method_entry<Id::slice_col, slice_col>(),
        method_entry<Id::slice_range, slice_range>(),
        method_entry<Id::reshape, reshape>(),
        method_entry<Id::gather, gather>(),
        method_entry<Id::set_slice, set_slice>(),
        method_entry<Id::cumsum, cumsum>(),
        {},
    };
    static PyTypeObject* type = build_type<double>(
        "builtins.PyNDArray", Id::ndarray_new,
        {Py_tp_new, reinterpret_cast<void*>(constructor<Id::ndarray_new, ndarray_new>)}, ndarray_methods);
    return type;
}

PyTypeObject* bool_array_type() {
    static PyMethodDef bool_array_methods[] = {
        method_entry<Id::bool_array_shape, bool_array_shape>(),
        {},
    };
    static PyTypeObject* type = build_type<std::uint8_t>(
        "builtins.PyBoolArray", Id::bool_array_new,
        {Py_tp_new, reinterpret_cast<void*>(constructor<Id::bool_array_new, bool_array_new>)}, bool_array_methods);
    return type;
}

}  // namespace tarvik::python
