// Placeholder: module not yet built.
#include <pybind11/pybind11.h>

PYBIND11_MODULE(metrics, m) { (void)m; }
