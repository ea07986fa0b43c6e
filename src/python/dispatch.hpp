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
#include <utility>

#include "barrier.hpp"
#include "convert.hpp"
#include "handles.hpp"
#include "instance.hpp"

namespace tarvik::python {

enum class Borrow { none, shared, exclusive };

inline constexpr std::size_t max_parameters = 4;

// What a class's instances hold: float64 elements or one byte per flag.
enum class Element { real, flag };

template <Element element>
using ElementType = std::conditional_t<element == Element::flag, std::uint8_t, double>;

struct Class {
    const char* name;
    Element element;
};

inline constexpr Class ndarray_class{"PyNDArray", Element::real};
inline constexpr Class bool_array_class{"PyBoolArray", Element::flag};

// Names the rows of `callables`; the table below must list them in this order.
enum class Id : std::size_t {
    ndarray_new, get, shape, sum, mean, relu, sigmoid, softmax, transpose, argmax, scale, add, mul,
    matmul, matmul_blas, boolean_mask, masked_fill, where_, fancy_index, slice_row, slice_col,
    slice_range, reshape, gather, set_slice, cumsum,
    bool_array_new, bool_array_shape,
};

struct Callable {
    Id id;
    const Class* owner;
    const char* name;  // "__new__" for a constructor
    std::array<const char*, max_parameters> parameters;  // in order; unused entries are null
    Borrow receiver;

    constexpr bool is_constructor() const { return std::string_view(name) == "__new__"; }

    constexpr std::size_t parameter_count() const {
        std::size_t count = 0;
        while (count < max_parameters && parameters[count] != nullptr) ++count;
        return count;
    }
};

// One row per callable; a class's methods appear in its method table in the order of its rows.
// Each row's body is `body<id>` (in the file of the class methods).
inline constexpr Callable callables[] = {
    {Id::ndarray_new, &ndarray_class, "__new__", {"data", "shape"}, Borrow::none},
    {Id::get, &ndarray_class, "get", {"index"}, Borrow::shared},
    {Id::shape, &ndarray_class, "shape", {}, Borrow::shared},
    {Id::sum, &ndarray_class, "sum", {}, Borrow::shared},
    {Id::mean, &ndarray_class, "mean", {}, Borrow::shared},
    {Id::relu, &ndarray_class, "relu", {}, Borrow::shared},
    {Id::sigmoid, &ndarray_class, "sigmoid", {}, Borrow::shared},
    {Id::softmax, &ndarray_class, "softmax", {}, Borrow::shared},
    {Id::transpose, &ndarray_class, "transpose", {}, Borrow::shared},
    {Id::argmax, &ndarray_class, "argmax", {}, Borrow::shared},
    {Id::scale, &ndarray_class, "scale", {"scalar"}, Borrow::shared},
    {Id::add, &ndarray_class, "add", {"other"}, Borrow::shared},
    {Id::mul, &ndarray_class, "mul", {"other"}, Borrow::shared},
    {Id::matmul, &ndarray_class, "matmul", {"other"}, Borrow::shared},
    {Id::matmul_blas, &ndarray_class, "matmul_blas", {"other"}, Borrow::shared},
    {Id::boolean_mask, &ndarray_class, "boolean_mask", {"mask"}, Borrow::shared},
    {Id::masked_fill, &ndarray_class, "masked_fill", {"mask", "value"}, Borrow::exclusive},
    {Id::where_, &ndarray_class, "where_", {"condition", "other"}, Borrow::shared},
    {Id::fancy_index, &ndarray_class, "fancy_index", {"indices"}, Borrow::shared},
    {Id::slice_row, &ndarray_class, "slice_row", {"row"}, Borrow::shared},
    {Id::slice_col, &ndarray_class, "slice_col", {"col"}, Borrow::shared},
    {Id::slice_range, &ndarray_class, "slice_range", {"axis", "start", "end"}, Borrow::shared},
    {Id::reshape, &ndarray_class, "reshape", {"new_shape"}, Borrow::shared},
    {Id::gather, &ndarray_class, "gather", {"axis", "indices"}, Borrow::shared},
    {Id::set_slice, &ndarray_class, "set_slice", {"axis", "start", "end", "value"}, Borrow::exclusive},
    {Id::cumsum, &ndarray_class, "cumsum", {}, Borrow::shared},
    {Id::bool_array_new, &bool_array_class, "__new__", {"data", "shape"}, Borrow::none},
    {Id::bool_array_shape, &bool_array_class, "shape", {}, Borrow::shared},
};

constexpr bool rows_follow_ids() {
    for (std::size_t i = 0; i < std::size(callables); ++i)
        if (callables[i].id != static_cast<Id>(i)) return false;
    return true;
}
static_assert(rows_follow_ids(), "every row of `callables` must stand at the position its Id names");

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
using ElementOf = ElementType<callable(id).owner->element>;
template <Id id>
using ReceiverOf = Receiver<ElementOf<id>, callable(id).receiver>;
template <Id id>
using ReceiverArray = typename ReceiverOf<id>::Array;

// The body of each callable, one specialisation per row: a constructor's takes the arguments and
// returns the array; a method's takes its receiver's array, then the arguments when it has
// parameters, and returns a new reference.
template <Id id>
constexpr auto body = nullptr;

// Entry point of a method with parameters. The fast calling convention spares the interpreter a
// tuple per call; names, messages and keyword handling are those of a varargs-and-keywords method.
template <Id id>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return barrier([&] {
        Arguments arguments(callable(id), args, nargs, kwnames);
        ArrayObject<ElementOf<id>>& receiver = instance<ElementOf<id>>(self);
        typename ReceiverOf<id>::Guard guard(receiver.borrow);
        ReceiverArray<id>& array = receiver.array;
        return body<id>(array, arguments);
    });
}

// Entry point of a method without parameters; the interpreter refuses any argument.
template <Id id>
PyObject* method_without_arguments(PyObject* self, PyObject*) {
    return barrier([&] {
        ArrayObject<ElementOf<id>>& receiver = instance<ElementOf<id>>(self);
        typename ReceiverOf<id>::Guard guard(receiver.borrow);
        ReceiverArray<id>& array = receiver.array;
        return body<id>(array);
    });
}

// tp_new: parses, converts, builds the array and moves it into a new instance of `type`.
template <Id id>
PyObject* constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return barrier([&] {
        Arguments arguments(callable(id), args, kwargs);
        NDArray<ElementOf<id>> array = body<id>(arguments);
        return new_instance(type, std::move(array));
    });
}

template <Id id>
PyMethodDef method_entry() {
    if constexpr (callable(id).parameter_count() == 0)
        return {callable(id).name,
                reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_without_arguments<id>)),
                METH_NOARGS, docstring(callable(id))};
    else
        return {callable(id).name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method<id>)),
                METH_FASTCALL | METH_KEYWORDS, docstring(callable(id))};
}

// Whether row `c` belongs to `owner`. Compared by name: with AddressSanitizer the compiler does not
// fold a comparison of two objects' addresses at compile time.
constexpr bool belongs_to(const Callable& c, const Class& owner) {
    return std::string_view(c.owner->name) == owner.name;
}

// The rows of `owner`'s methods, in table order.
template <const Class& owner>
constexpr auto method_ids() {
    constexpr std::size_t count = [] {
        std::size_t n = 0;
        for (const Callable& c : callables) n += belongs_to(c, owner) && !c.is_constructor();
        return n;
    }();
    std::array<Id, count> ids{};
    std::size_t next = 0;
    for (const Callable& c : callables)
        if (belongs_to(c, owner) && !c.is_constructor()) ids[next++] = c.id;
    return ids;
}

// The row of `owner`'s constructor.
template <const Class& owner>
constexpr Id constructor_id() {
    for (const Callable& c : callables)
        if (belongs_to(c, owner) && c.is_constructor()) return c.id;
    throw "a class needs a constructor row";
}

// The method table of `owner`, built from its rows on first use and ended by the null entry.
template <const Class& owner>
PyMethodDef* method_table() {
    static constexpr auto ids = method_ids<owner>();
    return []<std::size_t... i>(std::index_sequence<i...>) {
        static PyMethodDef table[] = {method_entry<ids[i]>()..., {}};
        return table;
    }(std::make_index_sequence<ids.size()>());
}

}  // namespace tarvik::python
