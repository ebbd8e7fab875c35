// One registration function per class family, called by the module body in its fixed order.
#pragma once

#include <pybind11/pybind11.h>

namespace nuvra::python {

void core_module_body(pybind11::module_& m);

}  // namespace nuvra::python
