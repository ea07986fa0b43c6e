// Placeholder until the binding lands.
#include <Python.h>

static PyModuleDef tarvik_module = {PyModuleDef_HEAD_INIT, "tarvik", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

extern "C" PyMODINIT_FUNC PyInit_tarvik() { return PyModule_Create(&tarvik_module); }
