// Folder and web-page shortcuts, and the entry-table actions.

#include "shortcuts/shortcuts.hpp"

#include "platform.hpp"
#include "shared_names.hpp"

#include <string>

namespace gui {

py::cpp_function make_clear_table(const py::object &set_table) {
    return py::cpp_function([set_table]() { set_table.attr("delete_all"_id)(); },
                            py::name("button_event_003"));
}

py::cpp_function make_open_folder(const Globals &g) {
    return py::cpp_function([g]() { platform::open_product_folder(g); },
                            py::name("button_event_005"));
}

py::cpp_function make_pick_file(const Globals &g, const py::object &set_table, const char *row,
                                const char *handler_name) {
    std::string row_name = row;
    return py::cpp_function(
        [g, set_table, row_name]() {
            py::object tkinter = global(g, "tkinter");
            if (!py::hasattr(tkinter, "filedialog"_id)) py::module_::import("tkinter.filedialog");
            py::object path = call(tkinter.attr("filedialog"_id).attr("askopenfilename"_id),
                                   "title"_kw = "選擇檔案");
            if (path.not_equal(py::str(""))) set_table.attr("set"_id)(row_name, path);
        },
        py::name(handler_name));
}

py::cpp_function make_open_help(const Globals &g) {
    return py::cpp_function(
        [g]() {
            const std::string address = std::string("://") + kHelpHost + ":" + std::to_string(kHelpPort) +
                                        "/" + kProductName;
            py::object webbrowser = global(g, "webbrowser");
            try {
                webbrowser.attr("open"_id)("https" + address);
            } catch (py::error_already_set &) {
                // whatever went wrong, try the plain-HTTP form once
                global(g, "webbrowser").attr("open"_id)("http" + address);
            }
        },
        py::name("button_event_008"));
}

}  // namespace gui
