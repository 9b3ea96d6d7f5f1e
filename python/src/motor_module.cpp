// kemora._motor
#include <pybind11/pybind11.h>

#include "convert.hpp"

namespace py = pybind11;
using namespace kemora::python;

PYBIND11_MODULE(_motor, m) {
  register_translators();
}
