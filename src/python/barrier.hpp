// The fault barrier around every entry point from the interpreter: no C++ exception crosses it.
#pragma once

#include <Python.h>

#include <new>
#include <source_location>
#include <stdexcept>
#include <string_view>

#include "base/fault.hpp"
#include "handles.hpp"

namespace tarvik::python {

// Writes the notice to standard error and raises PanicException carrying `message`.
void raise_panic(std::string_view message, const std::source_location* where, FaultKind kind);
// Raises MemoryError carrying `message`.
void raise_memory_error(std::string_view message);

// For a result object the interpreter could not create: prints its error and faults.
[[noreturn]] void python_api_failed(std::source_location where = std::source_location::current());

// Runs `body`, which returns a new reference or null with an error set, and turns every C++
// exception into a Python one: an engine fault into PanicException, a refused allocation into
// MemoryError.
template <class Body>
PyObject* barrier(Body&& body) noexcept {
    try {
        return body();
    } catch (const PythonError&) {
    } catch (const EngineFault& fault) {
        if (fault.kind() == FaultKind::out_of_memory)
            raise_memory_error(fault.message());
        else
            raise_panic(fault.message(), &fault.where(), fault.kind());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& fault) {
        raise_panic(fault.what(), nullptr, FaultKind::internal);
    } catch (...) {
        raise_panic("unknown internal fault", nullptr, FaultKind::internal);
    }
    return nullptr;
}

}  // namespace tarvik::python
