// One description per callable and one generic parser: every constructor and method differs only
// in its parameter list, its receiver borrow and its engine call.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "barrier.hpp"
#include "convert.hpp"
#include "handles.hpp"
#include "instance.hpp"

namespace tarvik::python {

enum class Borrow { none, shared, exclusive };

inline constexpr std::size_t max_parameters = 4;

struct Callable {
    const char* class_name;
    const char* name;  // "__new__" for a constructor
    std::array<const char*, max_parameters> parameters;  // in order; unused entries are null
    Borrow receiver;

    constexpr std::size_t parameter_count() const {
        std::size_t count = 0;
        while (count < max_parameters && parameters[count] != nullptr) ++count;
        return count;
    }
};

// Indexes `callables`; method-table order within each class.
enum class Id : std::size_t {
    ndarray_new, get, shape, sum, mean, relu, sigmoid, softmax, transpose, argmax, scale, add, mul,
    matmul, matmul_blas, boolean_mask, masked_fill, where_, fancy_index, slice_row, slice_col,
    slice_range, reshape, gather, set_slice, cumsum,
    bool_array_new, bool_array_shape,
};

inline constexpr Callable callables[] = {
    {"PyNDArray", "__new__", {"data", "shape"}, Borrow::none},
    {"PyNDArray", "get", {"index"}, Borrow::shared},
    {"PyNDArray", "shape", {}, Borrow::shared},
    {"PyNDArray", "sum", {}, Borrow::shared},
    {"PyNDArray", "mean", {}, Borrow::shared},
    {"PyNDArray", "relu", {}, Borrow::shared},
    {"PyNDArray", "sigmoid", {}, Borrow::shared},
    {"PyNDArray", "softmax", {}, Borrow::shared},
    {"PyNDArray", "transpose", {}, Borrow::shared},
    {"PyNDArray", "argmax", {}, Borrow::shared},
    {"PyNDArray", "scale", {"scalar"}, Borrow::shared},
    {"PyNDArray", "add", {"other"}, Borrow::shared},
    {"PyNDArray", "mul", {"other"}, Borrow::shared},
    {"PyNDArray", "matmul", {"other"}, Borrow::shared},
    {"PyNDArray", "matmul_blas", {"other"}, Borrow::shared},
    {"PyNDArray", "boolean_mask", {"mask"}, Borrow::shared},
    {"PyNDArray", "masked_fill", {"mask", "value"}, Borrow::exclusive},
    {"PyNDArray", "where_", {"condition", "other"}, Borrow::shared},
    {"PyNDArray", "fancy_index", {"indices"}, Borrow::shared},
    {"PyNDArray", "slice_row", {"row"}, Borrow::shared},
    {"PyNDArray", "slice_col", {"col"}, Borrow::shared},
    {"PyNDArray", "slice_range", {"axis", "start", "end"}, Borrow::shared},
    {"PyNDArray", "reshape", {"new_shape"}, Borrow::shared},
    {"PyNDArray", "gather", {"axis", "indices"}, Borrow::shared},
    {"PyNDArray", "set_slice", {"axis", "start", "end", "value"}, Borrow::exclusive},
    {"PyNDArray", "cumsum", {}, Borrow::shared},
    {"PyBoolArray", "__new__", {"data", "shape"}, Borrow::none},
    {"PyBoolArray", "shape", {}, Borrow::shared},
};

constexpr const Callable& callable(Id id) { return callables[static_cast<std::size_t>(id)]; }

// The docstring: "name($self, a, b)\n--\n\n" for a method, "Class(a, b)\n--\n\n" for a constructor.
// The text lives as long as the process.
const char* docstring(const Callable& c);

// The arguments of one call, matched to the parameter slots, and a cursor that converts them in
// parameter order. A conversion's TypeError is re-worded to name its parameter. Array arguments
// stay borrowed until the call ends.
class Arguments {
public:
    // From a tuple and an optional dictionary (the constructors).
    Arguments(const Callable& c, PyObject* args, PyObject* kwargs);
    // From the fast calling convention: positional values, then one value per name in `kwnames`.
    Arguments(const Callable& c, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

    double real() {
        return convert([](PyObject* o) { return to_double(o); });
    }
    std::uint64_t whole() {
        return convert([](PyObject* o) { return to_unsigned(o); });
    }
    Buffer<double> reals() {
        return convert([](PyObject* o) { return to_sequence<Buffer<double>>(o, to_double); });
    }
    Buffer<std::uint8_t> flags() {
        return convert([](PyObject* o) { return to_sequence<Buffer<std::uint8_t>>(o, to_flag); });
    }
    Shape shape() {
        return convert([](PyObject* o) { return to_sequence<Shape>(o, to_unsigned); });
    }
    SmallIndex index() {
        return convert([](PyObject* o) { return to_sequence<SmallIndex>(o, to_unsigned); });
    }
    template <class T>
    const NDArray<T>& array() {
        return convert([this](PyObject* o) -> const NDArray<T>& {
            ArrayObject<T>& other = instance<T>(checked_instance(o, type_of<T>()));
            borrows_[borrow_count_++].emplace(other.borrow);
            return other.array;
        });
    }

private:
    void take_positional(Py_ssize_t given);
    void take_keyword(PyObject* key, PyObject* value);
    void check_complete() const;

    template <class Conversion>
    auto convert(Conversion&& conversion) -> decltype(conversion(nullptr)) {
        const std::size_t position = next_++;
        try {
            return conversion(slots_[position].get());
        } catch (const PythonError&) {
            name_type_error(callable_.parameters[position]);
            throw;
        }
    }

    const Callable& callable_;
    std::array<PyRef, max_parameters> slots_;
    std::size_t next_ = 0;
    std::array<std::optional<SharedBorrow>, max_parameters> borrows_;
    std::size_t borrow_count_ = 0;
};

// Borrows the receiver as the description says and hands the body its array.
template <class T, Borrow kind>
struct Receiver;
template <class T>
struct Receiver<T, Borrow::shared> {
    using Guard = SharedBorrow;
    using Array = const NDArray<T>;
};
template <class T>
struct Receiver<T, Borrow::exclusive> {
    using Guard = ExclusiveBorrow;
    using Array = NDArray<T>;
};

template <Id id>
using ElementOf = std::conditional_t<std::string_view(callable(id).class_name) == "PyBoolArray", std::uint8_t, double>;
template <Id id>
using ReceiverOf = Receiver<ElementOf<id>, callable(id).receiver>;
template <Id id>
using ReceiverArray = typename ReceiverOf<id>::Array;

// Entry point of a method with parameters. The fast calling convention spares the interpreter a
// tuple per call; names, messages and keyword handling are those of a varargs-and-keywords method.
template <Id id, PyObject* (*body)(ReceiverArray<id>&, Arguments&)>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return barrier([&] {
        Arguments arguments(callable(id), args, nargs, kwnames);
        ArrayObject<ElementOf<id>>& receiver = instance<ElementOf<id>>(self);
        typename ReceiverOf<id>::Guard guard(receiver.borrow);
        return body(receiver.array, arguments);
    });
}

// Entry point of a method without parameters; the interpreter refuses any argument.
template <Id id, PyObject* (*body)(ReceiverArray<id>&)>
PyObject* method(PyObject* self, PyObject*) {
    return barrier([&] {
        ArrayObject<ElementOf<id>>& receiver = instance<ElementOf<id>>(self);
        typename ReceiverOf<id>::Guard guard(receiver.borrow);
        return body(receiver.array);
    });
}

// tp_new: parses, converts, builds the array and moves it into a new instance of `type`.
template <Id id, NDArray<ElementOf<id>> (*body)(Arguments&)>
PyObject* constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return barrier([&] {
        Arguments arguments(callable(id), args, kwargs);
        return new_instance(type, body(arguments));
    });
}

template <Id id, PyObject* (*body)(ReceiverArray<id>&, Arguments&)>
PyMethodDef method_entry() {
    return {callable(id).name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method<id, body>)),
            METH_FASTCALL | METH_KEYWORDS, docstring(callable(id))};
}

template <Id id, PyObject* (*body)(ReceiverArray<id>&)>
PyMethodDef method_entry() {
    return {callable(id).name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method<id, body>)),
            METH_NOARGS, docstring(callable(id))};
}

}  // namespace tarvik::python
