// Settings strip and Enter key of the main window.

#include "window/actions.hpp"

namespace gui {

namespace {

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
        py::object button = call(ctk.attr("CTkButton"_id), card, "text"_kw = item.caption,
                                 "command"_kw = item.command, "width"_kw = kStripButtonWidth,
                                 "height"_kw = kStripButtonHeight, "font"_kw = bold_font(ctk, 13),
                                 "fg_color"_kw = "transparent", "border_width"_kw = 1,
                                 "text_color"_kw = py::make_tuple("gray10", "#DCE4EE"));
        call(button.attr("place"_id), "x"_kw = x, "y"_kw = kStripY);
        x += kStripButtonWidth + kStripMargin;
    }
}

void bind_enter_to_launch(const py::object &ctk, const py::object &table_frame,
                          const py::object &launch) {
    py::object entry_type = ctk.attr("CTkEntry"_id);
    py::cpp_function on_enter([launch](py::args) { launch(); }, py::name("launch_on_enter"));
    py::list pending;
    pending.append(table_frame);
    while (!pending.empty()) {
        py::object widget = pending.attr("pop"_id)();
        if (py::isinstance(widget, entry_type)) {
            call(widget.attr("bind"_id), "<Return>", on_enter, "add"_kw = true);
            call(widget.attr("bind"_id), "<KP_Enter>", on_enter, "add"_kw = true);
            continue;
        }
        for (py::handle child : widget.attr("winfo_children"_id)()) pending.append(child);
    }
}

}  // namespace gui
