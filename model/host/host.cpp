// Contract with the maker's shared package.

#include "host/host.hpp"

namespace gui {

void init_host(py::module_ &m) {
    m.attr("tessaloom"_id) = py::module_::import("tessaloom通用模組");

    m.attr("customtkinter_model"_id) = m.attr("tessaloom"_id).attr("Customtkinter_Model"_id)();
    for (const char *name : {"Entry_Table", "Set_Table", "Set_Button", "CTkCalendar"}) {
        m.attr(name) = m.attr("customtkinter_model"_id).attr(name);
    }

    m.attr("try_except"_id) = m.attr("tessaloom"_id).attr("Try_Except_Model"_id)();
    m.attr("try_except_log"_id) = m.attr("try_except"_id).attr("try_except_log"_id);
}

py::object wrap_handler(const Globals &g, const py::object &handler) {
    return global(g, "try_except_log")(handler);
}

}  // namespace gui
