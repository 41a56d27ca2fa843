// The entry function GUI: builds the main window, runs it, and tells the
// worker when it has closed.
#pragma once

#include "common.hpp"

namespace gui {

// Binds GUI(Queue_All_variable, Event_All_variable) into the module.
void init_window(py::module_ &m);

}  // namespace gui
