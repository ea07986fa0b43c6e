#include "barrier.hpp"

#include <algorithm>
#include <climits>

namespace tarvik::python {

namespace {

const char panic_doc[] =
    "Reports an internal fault of tarvik: a check inside the array engine failed.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so an ordinary\n"
    "`except Exception` does not catch it and it normally propagates to the top of the stack.";

// Created on first use and kept for the life of the process; deliberately not a module attribute.
// A creation that failed (its error is set) is tried again at the next fault. The interpreter lock
// guards the cache.
PyObject* panic_exception() {
    static PyObject* type = nullptr;
    if (type == nullptr)
        type = PyErr_NewExceptionWithDoc("tarvik.PanicException", panic_doc, PyExc_BaseException, nullptr);
    return type;
}

void raise_with_text(PyObject* type, std::string_view message) {
    PyRef text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) PyErr_SetObject(type, text.get());
}

}  // namespace

void raise(PyObject* type, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PyErr_FormatV(type, format, arguments);
    va_end(arguments);
    throw PythonError{};
}

void raise_panic(std::string_view message, const std::source_location* where, FaultKind kind) {
    // The interpreter formats the notice, so a refused allocation costs the notice, not the process
    // (this runs in a catch handler of a noexcept function). A failed check says what the caller got
    // wrong; only a broken invariant is an internal fault.
    const char* prefix = kind == FaultKind::internal ? "tarvik: internal fault: " : "tarvik: ";
    const int length = static_cast<int>(std::min<std::size_t>(message.size(), INT_MAX));
    if (where != nullptr)
        PySys_FormatStderr("%s%.*s (at %s:%u)\n", prefix, length, message.data(), where->file_name(),
                           static_cast<unsigned>(where->line()));
    else
        PySys_FormatStderr("%s%.*s\n", prefix, length, message.data());
    if (PyObject* type = panic_exception()) raise_with_text(type, message);
}

void raise_memory_error(std::string_view message) { raise_with_text(PyExc_MemoryError, message); }

void python_api_failed(std::source_location where) {
    PyErr_PrintEx(0);
    fail_internal("Python API call failed", {}, where);
}

}  // namespace tarvik::python
