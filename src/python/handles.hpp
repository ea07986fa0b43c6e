// Scope-bound handles: an owning reference to a Python object and the borrow guards of an array
// instance. Their destructors make "every reference dropped, every borrow undone" hold on every path,
// including the C++ exceptions the fault barrier catches.
#pragma once

#include <Python.h>

#include <cstdint>
#include <utility>

namespace tarvik::python {

// Thrown once a Python exception has been set; the fault barrier turns it into a null return.
struct PythonError {};

// Throws PythonError when `object` is null (the call that produced it has set the error).
inline PyObject* checked(PyObject* object) {
    if (object == nullptr) throw PythonError{};
    return object;
}

// Sets a Python exception of `type` with a formatted text and throws PythonError.
[[noreturn]] void raise(PyObject* type, const char* format, ...);

// One strong reference, dropped by the destructor.
class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a new reference (which may be null).
    explicit PyRef(PyObject* owned) noexcept : object_(owned) {}
    static PyRef borrowed(PyObject* object) noexcept { return PyRef(Py_XNewRef(object)); }

    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

// Borrow counter of an instance: 0 free, n > 0 shared borrows, -1 one exclusive borrow.
using BorrowCounter = std::int64_t;

class SharedBorrow {
public:
    explicit SharedBorrow(BorrowCounter& counter) : counter_(counter) {
        if (counter_ == -1) raise(PyExc_RuntimeError, "Already mutably borrowed");
        ++counter_;
    }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    ~SharedBorrow() { --counter_; }

private:
    BorrowCounter& counter_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowCounter& counter) : counter_(counter) {
        if (counter_ != 0) raise(PyExc_RuntimeError, "Already borrowed");
        counter_ = -1;
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ~ExclusiveBorrow() { counter_ = 0; }

private:
    BorrowCounter& counter_;
};

}  // namespace tarvik::python
