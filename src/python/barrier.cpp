#include "barrier.hpp"

#include <string>

namespace tarvik::python {

namespace {

const char panic_doc[] =
    "Reports an internal fault of tarvik: a check inside the array engine failed.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so an ordinary\n"
    "`except Exception` does not catch it and it normally propagates to the top of the stack.";

// Created on first use and kept for the life of the process; deliberately not a module attribute.
PyObject* panic_exception() {
    static PyObject* type =
        PyErr_NewExceptionWithDoc("tarvik.PanicException", panic_doc, PyExc_BaseException, nullptr);
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
    // A failed check says what the caller got wrong; only a broken invariant is an internal fault.
    std::string notice = kind == FaultKind::internal ? "tarvik: internal fault: " : "tarvik: ";
    notice += message;
    if (where != nullptr) {
        notice += " (at ";
        notice += where->file_name();
        notice += ':';
        notice += std::to_string(where->line());
        notice += ')';
    }
    PySys_FormatStderr("%s\n", notice.c_str());
    if (PyObject* type = panic_exception()) raise_with_text(type, message);
}

void raise_memory_error(std::string_view message) { raise_with_text(PyExc_MemoryError, message); }

void python_api_failed(std::source_location where) {
    PyErr_PrintEx(0);
    fail_internal("Python API call failed", {}, where);
}

}  // namespace tarvik::python
