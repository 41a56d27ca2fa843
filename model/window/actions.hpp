// Controls of the main window beyond its fixed layout: the settings strip
// and the Enter key of the command entry.
#pragma once

#include "common.hpp"

namespace gui {

// Three small buttons along the bottom of the output card `card` (placed, so
// no other widget moves): the font/size dialog, the count dialog, and
// clearing the command entry.
void add_settings_strip(const py::object &ctk, const py::object &card,
                        const py::object &open_font_dialog, const py::object &open_count_dialog,
                        const py::object &clear_entries);

// Enter in any text entry inside `table_frame` runs `launch`, as the output
// button does.
void bind_enter_to_launch(const py::object &ctk, const py::object &table_frame,
                          const py::object &launch);

}  // namespace gui
