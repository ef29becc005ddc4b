// kvx.optimize and kvx.simplify, the GPU order and the simplification over
// NumPy arrays, added to the module by kvx_module.cpp.
#pragma once

#include <pybind11/pybind11.h>

void BindOptimize(pybind11::module_& module);
