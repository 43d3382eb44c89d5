// Placeholder: module not yet built.
#include <pybind11/pybind11.h>

PYBIND11_MODULE(bar_rollup, m) { (void)m; }
