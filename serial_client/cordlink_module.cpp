#include "host/host.hpp"

static PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "Cordlink", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_Cordlink(void) { return PyModule_Create(&module_def); }
