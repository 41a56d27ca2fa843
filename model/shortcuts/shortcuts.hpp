// Shortcuts out of the program and the small entry-table actions.
#pragma once

#include "common.hpp"

namespace gui {

// button_event_003: clears every row of the entry table.
py::cpp_function make_clear_table(const py::object &set_table);

// button_event_005: opens the product folder in the file manager.
py::cpp_function make_open_folder(const Globals &g);

// button_event_006 / button_event_007: asks for a file and stores its path
// in the entry-table row `row`.
py::cpp_function make_pick_file(const Globals &g, const py::object &set_table, const char *row,
                                const char *handler_name);

// button_event_008: opens the product web page, HTTPS first, HTTP when that raises.
py::cpp_function make_open_help(const Globals &g);

}  // namespace gui
