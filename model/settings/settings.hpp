// The settings record class and the two setting dialogs.
#pragma once

#include "common.hpp"

namespace gui {

// Binds the class Parameters: a plain class whose instances hold the seven
// report settings in `parameters`.
void init_settings(py::module_ &m);

// button_event_004: opens the font and text-size dialog on each call.
py::cpp_function make_font_dialog(const Globals &g, const py::object &PP);

// button_event_009: opens the closest-patent count dialog on each call.
py::cpp_function make_count_dialog(const Globals &g, const py::object &PP);

}  // namespace gui
