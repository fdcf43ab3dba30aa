// Result dicts that signatures and stubs name after the TypedDicts describing their keys,
// shared by the modules that return them.

#pragma once

#include <pybind11/pybind11.h>

namespace epson::python {

class RobotStateDict : public pybind11::dict {
  public:
    using pybind11::dict::dict;
};

class ControllerStatusDict : public pybind11::dict {
  public:
    using pybind11::dict::dict;
};

}  // namespace epson::python

namespace pybind11::detail {
template <>
struct handle_type_name<epson::python::RobotStateDict> {
    static constexpr auto name = const_name("RobotState");
};
template <>
struct handle_type_name<epson::python::ControllerStatusDict> {
    static constexpr auto name = const_name("ControllerStatus");
};
}  // namespace pybind11::detail
