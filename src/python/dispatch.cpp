#include "dispatch.hpp"

#include <string>

namespace tarvik::python {

namespace {

std::string full_name(const Callable& c) { return std::string(c.owner->name) + "." + c.name + "()"; }

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_list(const std::array<const char*, max_parameters>& names, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) text += count == 2 ? " and " : (i + 1 == count ? ", and " : ", ");
        text += "'";
        text += names[i];
        text += "'";
    }
    return text;
}

}  // namespace

const char* docstring(const Callable& c) {
    static std::string texts[std::size(callables)];
    std::string& text = texts[static_cast<std::size_t>(c.id)];
    if (text.empty()) {
        const bool constructor = c.is_constructor();
        text = constructor ? c.owner->name : c.name;
        text += constructor ? "(" : "($self";
        for (std::size_t i = 0; i < c.parameter_count(); ++i) {
            if (i > 0 || !constructor) text += ", ";
            text += c.parameters[i];
        }
        text += ")\n--\n\n";
    }
    return text.c_str();
}

Arguments::Arguments(const Callable& c, PyObject* args, PyObject* kwargs) : callable_(c) {
    const Py_ssize_t given = PyTuple_Size(args);
    take_positional(given);
    for (Py_ssize_t i = 0; i < given; ++i) slots_[static_cast<std::size_t>(i)] = PyRef::borrowed(PyTuple_GetItem(args, i));
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(kwargs, &position, &key, &value)) take_keyword(key, value);
    }
    check_complete();
}

Arguments::Arguments(const Callable& c, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
    : callable_(c) {
    take_positional(nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots_[static_cast<std::size_t>(i)] = PyRef::borrowed(args[i]);
    if (kwnames != nullptr) {
        const Py_ssize_t named = PyTuple_Size(kwnames);
        for (Py_ssize_t i = 0; i < named; ++i) take_keyword(PyTuple_GetItem(kwnames, i), args[nargs + i]);
    }
    check_complete();
}

void Arguments::take_positional(Py_ssize_t given) {
    const std::size_t count = callable_.parameter_count();
    if (static_cast<std::size_t>(given) > count)
        raise(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", full_name(callable_).c_str(),
              count, given, given == 1 ? "was" : "were");
}

void Arguments::take_keyword(PyObject* key, PyObject* value) {
    const std::size_t count = callable_.parameter_count();
    std::size_t slot = 0;
    while (slot < count &&
           !(PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, callable_.parameters[slot]) == 0))
        ++slot;
    if (slot == count)
        raise(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", full_name(callable_).c_str(), key);
    if (slots_[slot])
        raise(PyExc_TypeError, "%s got multiple values for argument '%s'", full_name(callable_).c_str(),
              callable_.parameters[slot]);
    slots_[slot] = PyRef::borrowed(value);
}

void Arguments::check_complete() const {
    std::array<const char*, max_parameters> missing{};
    std::size_t missing_count = 0;
    for (std::size_t slot = 0; slot < callable_.parameter_count(); ++slot)
        if (!slots_[slot]) missing[missing_count++] = callable_.parameters[slot];
    if (missing_count > 0)
        raise(PyExc_TypeError, "%s missing %zu required positional %s: %s", full_name(callable_).c_str(),
              missing_count, missing_count == 1 ? "argument" : "arguments",
              quoted_list(missing, missing_count).c_str());
}

}  // namespace tarvik::python
