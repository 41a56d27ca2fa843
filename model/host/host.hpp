// Contract with the maker's shared package: the widget helper object and the
// error helper object, bound into the module at import.
#pragma once

#include "common.hpp"

namespace gui {

// Imports the shared package and binds tessaloom, customtkinter_model,
// Entry_Table, Set_Table, Set_Button, CTkCalendar, try_except, try_except_log.
void init_host(py::module_ &m);

// try_except_log(handler), the wrapper every nested handler runs in, looked
// up in the module's globals at each call.
py::object wrap_handler(const Globals &g, const py::object &handler);

}  // namespace gui
