#include "host/host.hpp"

static PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "Socklink", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_Socklink(void) { return PyModule_Create(&module_def); }
