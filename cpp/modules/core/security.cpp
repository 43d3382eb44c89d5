// Placeholder: module not yet built.
#include <pybind11/pybind11.h>

PYBIND11_MODULE(security, m) { (void)m; }
