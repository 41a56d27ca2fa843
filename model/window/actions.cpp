// Settings strip and Enter key of the main window.

#include "window/actions.hpp"

namespace gui {

namespace {

using namespace pybind11::literals;

// Geometry of the strip inside the 300 x 110 output card: the output button
// sits centred (y 41..69), so the strip takes the free band below it.
constexpr int kStripY = 78;
constexpr int kStripButtonWidth = 84;
constexpr int kStripButtonHeight = 24;
constexpr int kStripMargin = 12;

}  // namespace

void add_settings_strip(const py::object &ctk, const py::object &card,
                        const py::object &open_font_dialog, const py::object &open_count_dialog,
                        const py::object &clear_entries) {
    const struct {
        const char *caption;
        const py::object &command;
    } items[] = {
        {"字體與大小", open_font_dialog},
        {"分析數量", open_count_dialog},
        {"清除指令", clear_entries},
    };
    int x = kStripMargin;
    for (const auto &item : items) {
        py::object button = ctk.attr("CTkButton")(
            card, "text"_a = item.caption, "command"_a = item.command, "width"_a = kStripButtonWidth,
            "height"_a = kStripButtonHeight, "font"_a = bold_font(ctk, 13),
            "fg_color"_a = "transparent", "border_width"_a = 1,
            "text_color"_a = py::make_tuple("gray10", "#DCE4EE"));
        button.attr("place")("x"_a = x, "y"_a = kStripY);
        x += kStripButtonWidth + kStripMargin;
    }
}

void bind_enter_to_launch(const py::object &ctk, const py::object &table_frame,
                          const py::object &launch) {
    py::object entry_type = ctk.attr("CTkEntry");
    py::cpp_function on_enter([launch](py::args) { launch(); }, py::name("launch_on_enter"));
    py::list pending;
    pending.append(table_frame);
    while (!pending.empty()) {
        py::object widget = pending.attr("pop")();
        if (py::isinstance(widget, entry_type)) {
            widget.attr("bind")("<Return>", on_enter, "add"_a = true);
            widget.attr("bind")("<KP_Enter>", on_enter, "add"_a = true);
            continue;
        }
        for (py::handle child : widget.attr("winfo_children")()) pending.append(child);
    }
}

}  // namespace gui
