#include "convert.hpp"

#include <cstring>

namespace tarvik::python {

namespace {

PyRef type_name(PyObject* object) { return PyRef(checked(PyType_GetName(Py_TYPE(object)))); }

std::uint64_t read_unsigned(PyObject* integer) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
    return value;
}

// `__module__` + "." + `__qualname__` of the type, or false when either cannot be read.
bool has_qualified_name(PyTypeObject* type, const char* module, const char* qualname) {
    PyRef module_name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    PyRef qualified(module_name ? PyType_GetQualName(type) : nullptr);
    if (!qualified) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(module_name.get()) && PyUnicode_CompareWithASCIIString(module_name.get(), module) == 0 &&
           PyUnicode_CompareWithASCIIString(qualified.get(), qualname) == 0;
}

std::uint8_t call_bool(PyObject* object) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    PyRef method(PyObject_GetAttrString(type, "__bool__"));
    if (!method) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
        raise(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion",
              type_name(object).get());
    }
    PyRef result(checked(PyObject_CallFunctionObjArgs(method.get(), object, nullptr)));
    if (result.get() == Py_True) return 1;
    if (result.get() == Py_False) return 0;
    raise(PyExc_TypeError, "'%U' object cannot be converted to 'PyBool'", type_name(result.get()).get());
}

}  // namespace

double to_double(PyObject* object) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) throw PythonError{};
    return value;
}

std::uint64_t to_unsigned(PyObject* object) {
    if (PyLong_Check(object)) return read_unsigned(object);
    PyRef integer(checked(PyNumber_Index(object)));
    return read_unsigned(integer.get());
}

std::uint8_t to_flag(PyObject* object) {
    if (object == Py_True) return 1;
    if (object == Py_False) return 0;
    // Current releases of that library name their boolean scalar type "numpy.bool", older ones
    // "numpy.bool_"; both are its booleans and both convert through their truth value.
    if (has_qualified_name(Py_TYPE(object), "numpy", "bool_") || has_qualified_name(Py_TYPE(object), "numpy", "bool"))
        return call_bool(object);
    raise(PyExc_TypeError, "'%U' object cannot be converted to 'PyBool'", type_name(object).get());
}

PyObject* checked_instance(PyObject* object, PyTypeObject* type) {
    if (PyObject_TypeCheck(object, type)) return object;
    PyRef expected(checked(PyType_GetName(type)));
    raise(PyExc_TypeError, "'%U' object cannot be converted to '%U'", type_name(object).get(), expected.get());
}

void raise_not_a_sequence(PyObject* object) {
    raise(PyExc_TypeError, "'%U' object cannot be converted to 'Sequence'", type_name(object).get());
}

void name_type_error(const char* parameter) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyRef original(PyErr_GetRaisedException());
    PyRef text(PyObject_Str(original.get()));
    if (!text) return;
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", parameter, text.get());
    PyRef renamed(PyErr_GetRaisedException());
    if (PyObject* cause = PyException_GetCause(original.get())) PyException_SetCause(renamed.get(), cause);
    PyErr_SetRaisedException(renamed.release());
}

PyObject* to_python(double value) {
    PyObject* result = PyFloat_FromDouble(value);
    if (result == nullptr) python_api_failed();
    return result;
}

PyObject* to_python(std::uint64_t value) {
    PyObject* result = PyLong_FromUnsignedLongLong(value);
    if (result == nullptr) python_api_failed();
    return result;
}

PyObject* to_python(FloatArray&& array) {
    PyObject* result = new_instance(ndarray_type(), std::move(array));
    if (result == nullptr) {
        PyErr_Clear();
        fail_internal("could not allocate a PyNDArray for the result");
    }
    return result;
}

PyObject* to_python(const NDArrayView& view) { return to_python(to_array(view)); }

PyObject* shape_list(Index shape) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(shape.size())));
    if (!list) python_api_failed();
    for (std::size_t d = 0; d < shape.size(); ++d) {
        PyObject* extent = PyLong_FromUnsignedLongLong(shape[d]);
        if (extent == nullptr) python_api_failed();
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(d), extent);
    }
    return list.release();
}

PyObject* none() { return Py_NewRef(Py_None); }

}  // namespace tarvik::python
