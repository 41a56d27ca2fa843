// Contract with the maker's shared package.

#include "host/host.hpp"

namespace gui {

void init_host(py::module_ &m) {
    m.attr("tessaloom") = py::module_::import("tessaloom通用模組");

    m.attr("customtkinter_model") = m.attr("tessaloom").attr("Customtkinter_Model")();
    for (const char *name : {"Entry_Table", "Set_Table", "Set_Button", "CTkCalendar"}) {
        m.attr(name) = m.attr("customtkinter_model").attr(name);
    }

    m.attr("try_except") = m.attr("tessaloom").attr("Try_Except_Model")();
    m.attr("try_except_log") = m.attr("try_except").attr("try_except_log");
}

py::object wrap_handler(const Globals &g, const py::object &handler) {
    return global(g, "try_except_log")(handler);
}

}  // namespace gui
