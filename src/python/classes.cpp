// The two classes: each body converts its arguments, calls the engine and converts the result; the
// dispatch templates around it parse, borrow and catch faults, and the rows of `callables` name,
// order and describe them.
#include <Python.h>

#include "dispatch.hpp"
#include "ops/elementwise.hpp"
#include "ops/matrix.hpp"
#include "ops/reductions.hpp"
#include "ops/selection.hpp"
#include "ops/slicing.hpp"

namespace tarvik::python {

using Self = const FloatArray;

// ---- Constructors

template <>
constexpr auto body<Id::ndarray_new> = [](Arguments& in) {
    Buffer<double> data = in.reals();
    return new_array(std::move(data), in.shape());
};

template <>
constexpr auto body<Id::bool_array_new> = [](Arguments& in) {
    Buffer<std::uint8_t> data = in.flags();
    return new_array(std::move(data), in.shape());
};

// ---- Methods of PyNDArray

template <>
constexpr auto body<Id::get> = [](Self& self, Arguments& in) { return to_python(tarvik::get(self, in.index())); };
template <>
constexpr auto body<Id::shape> = [](Self& self) { return shape_list(self.shape); };
template <>
constexpr auto body<Id::sum> = [](Self& self) { return to_python(tarvik::sum(self)); };
template <>
constexpr auto body<Id::mean> = [](Self& self) { return to_python(tarvik::mean(self)); };
template <>
constexpr auto body<Id::relu> = [](Self& self) { return to_python(tarvik::relu(self)); };
template <>
constexpr auto body<Id::sigmoid> = [](Self& self) { return to_python(tarvik::sigmoid(self)); };
template <>
constexpr auto body<Id::softmax> = [](Self& self) { return to_python(tarvik::softmax(self)); };
template <>
constexpr auto body<Id::transpose> = [](Self& self) { return to_python(tarvik::transpose(self)); };
template <>
constexpr auto body<Id::argmax> = [](Self& self) { return to_python(tarvik::argmax(self)); };
template <>
constexpr auto body<Id::scale> = [](Self& self, Arguments& in) { return to_python(tarvik::scale(self, in.real())); };
template <>
constexpr auto body<Id::add> = [](Self& self, Arguments& in) {
    return to_python(tarvik::add(self, in.array<double>()));
};
template <>
constexpr auto body<Id::mul> = [](Self& self, Arguments& in) {
    return to_python(tarvik::mul(self, in.array<double>()));
};
template <>
constexpr auto body<Id::matmul> = [](Self& self, Arguments& in) {
    return to_python(tarvik::matmul(self, in.array<double>()));
};
template <>
constexpr auto body<Id::matmul_blas> = [](Self& self, Arguments& in) {
    return to_python(tarvik::matmul_blas(self, in.array<double>()));
};
template <>
constexpr auto body<Id::boolean_mask> = [](Self& self, Arguments& in) {
    return to_python(tarvik::boolean_mask(self, in.array<std::uint8_t>()));
};

template <>
constexpr auto body<Id::masked_fill> = [](FloatArray& self, Arguments& in) {
    const BoolArray& mask = in.array<std::uint8_t>();
    tarvik::masked_fill(self, mask, in.real());
    return none();
};

template <>
constexpr auto body<Id::where_> = [](Self& self, Arguments& in) {
    const BoolArray& condition = in.array<std::uint8_t>();
    return to_python(tarvik::where_(self, condition, in.array<double>()));
};

template <>
constexpr auto body<Id::fancy_index> = [](Self& self, Arguments& in) {
    return to_python(tarvik::fancy_index(self, in.index()));
};
template <>
constexpr auto body<Id::slice_row> = [](Self& self, Arguments& in) {
    return to_python(tarvik::slice_row(self, in.whole()));
};
template <>
constexpr auto body<Id::slice_col> = [](Self& self, Arguments& in) {
    return to_python(tarvik::slice_col(self, in.whole()));
};

template <>
constexpr auto body<Id::slice_range> = [](Self& self, Arguments& in) {
    const auto [axis, start, end] = std::tuple{in.whole(), in.whole(), in.whole()};
    return to_python(tarvik::slice_range(self, axis, start, end));
};

template <>
constexpr auto body<Id::reshape> = [](Self& self, Arguments& in) {
    return to_python(tarvik::reshape(self, in.shape()));
};

template <>
constexpr auto body<Id::gather> = [](Self& self, Arguments& in) {
    const std::uint64_t axis = in.whole();
    return to_python(tarvik::gather(self, axis, in.index()));
};

template <>
constexpr auto body<Id::set_slice> = [](FloatArray& self, Arguments& in) {
    const auto [axis, start, end, value] = std::tuple{in.whole(), in.whole(), in.whole(), in.real()};
    tarvik::set_slice(self, axis, start, end, value);
    return none();
};

template <>
constexpr auto body<Id::cumsum> = [](Self& self) { return to_python(tarvik::cumsum(self)); };

// ---- Methods of PyBoolArray

template <>
constexpr auto body<Id::bool_array_shape> = [](const BoolArray& self) { return shape_list(self.shape); };

// ---- Type objects

namespace {

// The type of `owner`: its constructor, deallocator, docstring and method table all come from its
// rows. Built on first use, inside the initialisation's fault barrier.
template <const Class& owner>
PyTypeObject* build_type(const char* spec_name) {
    using T = ElementType<owner.element>;
    constexpr Id constructor_row = constructor_id<owner>();
    PyType_Slot slots[] = {
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_new, reinterpret_cast<void*>(constructor<constructor_row>)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<T>)},
        {Py_tp_doc, const_cast<char*>(docstring(callable(constructor_row)))},
        {Py_tp_methods, method_table<owner>()},
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
        fail_internal("failed to create type object for {}", {owner.name});
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

PyTypeObject* ndarray_type() {
    static PyTypeObject* type = build_type<ndarray_class>("builtins.PyNDArray");
    return type;
}

PyTypeObject* bool_array_type() {
    static PyTypeObject* type = build_type<bool_array_class>("builtins.PyBoolArray");
    return type;
}

}  // namespace tarvik::python
