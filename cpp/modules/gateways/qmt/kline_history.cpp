// Placeholder: module not yet built.
#include <pybind11/pybind11.h>

PYBIND11_MODULE(kline_history, m) { (void)m; }
