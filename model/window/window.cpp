// Main window construction, event loop and shutdown signals.

#include "window/window.hpp"

#include "host/host.hpp"
#include "jobs/jobs.hpp"
#include "window/actions.hpp"
#include "platform.hpp"
#include "settings/settings.hpp"
#include "shared_names.hpp"
#include "shortcuts/shortcuts.hpp"

#include <memory>

namespace gui {

namespace {

const char *const kParamNames[2] = {"Queue_All_variable", "Event_All_variable"};

// Binds the call's arguments as `def GUI(Queue_All_variable, Event_All_variable)`
// would, with the interpreter's own TypeError wording. Returns false with an
// exception set.
bool bind_arguments(PyObject *args, PyObject *kwargs, PyObject *bound[2]) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    for (Py_ssize_t i = 0; i < nargs && i < 2; ++i) bound[i] = PyTuple_GET_ITEM(args, i);

    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_SetString(PyExc_TypeError, "keywords must be strings");
                return false;
            }
            int index = -1;
            for (int j = 0; j < 2; ++j) {
                if (PyUnicode_CompareWithASCIIString(key, kParamNames[j]) == 0) index = j;
            }
            if (index < 0) {
                PyErr_Format(PyExc_TypeError, "GUI() got an unexpected keyword argument '%S'", key);
                return false;
            }
            if (bound[index] != nullptr) {
                PyErr_Format(PyExc_TypeError, "GUI() got multiple values for argument '%S'", key);
                return false;
            }
            bound[index] = value;
        }
    }
    if (nargs > 2) {
        PyErr_Format(PyExc_TypeError, "GUI() takes 2 positional arguments but %zd were given", nargs);
        return false;
    }
    if (bound[0] == nullptr && bound[1] == nullptr) {
        PyErr_SetString(PyExc_TypeError,
                        "GUI() missing 2 required positional arguments: "
                        "'Queue_All_variable' and 'Event_All_variable'");
        return false;
    }
    for (int j = 0; j < 2; ++j) {
        if (bound[j] == nullptr) {
            PyErr_Format(PyExc_TypeError, "GUI() missing 1 required positional argument: '%s'",
                         kParamNames[j]);
            return false;
        }
    }
    return true;
}

// Removes a window whose construction failed, so that no dead window stays
// on screen; its own errors are of no interest then.
void discard_window(const py::object &app) noexcept {
    try {
        app.attr("destroy"_id)();
    } catch (...) {
    }
}

void run_gui(const Globals &g, const py::object &Queue_All_variable,
             const py::object &Event_All_variable) {
    // The product folders, the settings record and the button bar.
    platform::create_product_folders(g);
    py::object PP = global(g, "Parameters")();
    py::object set_button = global(g, "Set_Button")();

    // Dark appearance, blue theme, then the main window.
    py::object ctk = global(g, "customtkinter");
    ctk.attr("set_appearance_mode"_id)("dark");
    ctk.attr("set_default_color_theme"_id)("blue");
    py::object app = ctk.attr("CTk"_id)();
    auto poller_self = std::make_shared<PollerSelf>();

    try {
        app.attr("title"_id)(kProductName);
        for (int column = 0; column < 3; ++column) {
            call(app.attr("columnconfigure"_id), column, "weight"_kw = 1);
        }
        app.attr("resizable"_id)(false, false);

        // The window icon; a missing or unreadable icon is printed, not fatal.
        try {
            platform::set_window_icon(g, app);
        } catch (py::error_already_set &e) {
            if (is_keyboard_interrupt(e)) throw;
            print_line(e.value());
        }

        // The four top-level frames: header (FF), command card (AA), output
        // card (BB) and log (DD).
        auto top_frame = [&](int row, int column, int columnspan, py::tuple padx, py::tuple pady,
                             const char *sticky) {
            py::object f = call(ctk.attr("CTkFrame"_id), "master"_kw = app,
                                "fg_color"_kw = "transparent");
            if (columnspan > 1) {
                call(f.attr("grid"_id), "row"_kw = row, "column"_kw = column,
                     "columnspan"_kw = columnspan, "padx"_kw = padx, "pady"_kw = pady,
                     "sticky"_kw = sticky);
            } else {
                call(f.attr("grid"_id), "row"_kw = row, "column"_kw = column, "padx"_kw = padx,
                     "pady"_kw = pady, "sticky"_kw = sticky);
            }
            return f;
        };
        py::object FF = top_frame(0, 0, 2, py::make_tuple(10, 5), py::make_tuple(10, 5), "nsew");
        py::object AA = top_frame(1, 0, 1, py::make_tuple(10, 5), py::make_tuple(5, 0), "nsew");
        py::object BB = top_frame(1, 1, 1, py::make_tuple(0, 10), py::make_tuple(5, 0), "nsew");
        py::object DD = top_frame(2, 0, 2, py::make_tuple(10, 10), py::make_tuple(5, 10), "ew");

        // The frame table: ten placeholders, five of them replaced by frames.
        py::list frame;
        for (int i = 0; i < 10; ++i) frame.append(py::list());
        frame[1] = call(ctk.attr("CTkFrame"_id), AA, "width"_kw = 395, "height"_kw = 110);
        call(frame[1].attr("grid"_id), "row"_kw = 0, "column"_kw = 0, "sticky"_kw = "new");
        frame[5] = call(ctk.attr("CTkFrame"_id), frame[1], "width"_kw = 395, "height"_kw = 110,
                        "fg_color"_kw = "transparent");
        call(frame[5].attr("place"_id), "x"_kw = 10, "y"_kw = 30);
        frame[2] = call(ctk.attr("CTkFrame"_id), BB, "width"_kw = 300, "height"_kw = 110);
        call(frame[2].attr("grid"_id), "row"_kw = 0, "column"_kw = 0, "sticky"_kw = "new");
        frame[4] = call(ctk.attr("CTkFrame"_id), FF, "height"_kw = 10,
                        "fg_color"_kw = "transparent");
        call(frame[4].attr("grid"_id), "row"_kw = 0, "column"_kw = 0, "sticky"_kw = "nsew",
             "rowspan"_kw = 2);
        frame[6] = call(ctk.attr("CTkFrame"_id), DD, "height"_kw = 10,
                        "fg_color"_kw = "transparent");
        call(frame[6].attr("grid"_id), "row"_kw = 0, "column"_kw = 0, "sticky"_kw = "nsew",
             "rowspan"_kw = 2);

        // The log box.
        py::object textbox = call(ctk.attr("CTkTextbox"_id), "master"_kw = frame[6],
                                  "width"_kw = 700, "height"_kw = 300, "corner_radius"_kw = 0);
        call(textbox.attr("grid"_id), "row"_kw = 0, "column"_kw = 0, "sticky"_kw = "nsew");

        // The header: logo, word mark and title; an error in any of them is
        // printed and leaves the rest of the header out.
        try {
            py::object Image = global(g, "Image");
            py::object header = frame[4];
            auto image_button = [&](const char *suffix, py::tuple size, int column, py::tuple padx) {
                py::str path = platform::template_path(g, suffix);
                py::object image =
                    call(ctk.attr("CTkImage"_id), "light_image"_kw = Image.attr("open"_id)(path),
                         "dark_image"_kw = Image.attr("open"_id)(path), "size"_kw = size);
                py::object button = call(ctk.attr("CTkButton"_id), header, "image"_kw = image,
                                         "text"_kw = "", "state"_kw = "disabled", "width"_kw = 50,
                                         "fg_color"_kw = "transparent");
                call(button.attr("grid"_id), "row"_kw = 0, "column"_kw = column, "padx"_kw = padx,
                     "sticky"_kw = "w");
            };
            image_button("\\格式範本\\logo.png", py::make_tuple(50, 50), 0, py::make_tuple(0, 5));
            image_button("\\格式範本\\logo(僅文字).png", py::make_tuple(120, 30), 1,
                         py::make_tuple(0, 15));
            py::object title = call(ctk.attr("CTkLabel"_id), header, "text"_kw = kProductName,
                                    "font"_kw = bold_font(ctk, 16));
            call(title.attr("grid"_id), "row"_kw = 0, "column"_kw = 2, "sticky"_kw = "nsew");
        } catch (py::error_already_set &e) {
            if (is_keyboard_interrupt(e)) throw;
            print_line(e.value());
        }

        // The entry table with its one row, the search command.
        py::object set_table = global(g, "Set_Table")(frame[5]);
        set_table.attr("add_entry_name"_id)(kCommandKey);

        // The handlers, each replaced by its wrapper at once.
        const Channel channel{Queue_All_variable, Event_All_variable};
        const WindowParts parts{app, PP, set_table, set_button, textbox};
        py::object button_event_001 = wrap_handler(g, make_launch(g, channel, parts));
        py::object button_event_003 = wrap_handler(g, make_clear_table(set_table));
        py::object button_event_004 = wrap_handler(g, make_font_dialog(g, PP));
        py::object button_event_005 = wrap_handler(g, make_open_folder(g));
        py::object button_event_006 =
            wrap_handler(g, make_pick_file(g, set_table, "範本檔案路徑", "button_event_006"));
        py::object button_event_007 =
            wrap_handler(g, make_pick_file(g, set_table, "專利檔案路徑", "button_event_007"));
        py::object button_event_008 = wrap_handler(g, make_open_help(g));
        py::object button_event_009 = wrap_handler(g, make_count_dialog(g, PP));

        // The output button, the product-folder button and the help button.
        call(set_button.attr("add_button"_id), BB, "button_name"_kw = kOutputButton,
             "text"_kw = kOutputButton, "button_event"_kw = button_event_001,
             "size"_kw = py::make_tuple(25, 25), "padx"_kw = 50, "pady"_kw = 10, "sticky"_kw = "",
             "width"_kw = 140);
        call(set_button.attr("add_button"_id), FF,
             "image_path"_kw = platform::template_path(g, "\\格式範本\\資料夾.png"),
             "button_event"_kw = button_event_005, "size"_kw = py::make_tuple(25, 25),
             "padx"_kw = py::make_tuple(178, 55), "row"_kw = 0, "column"_kw = 1,
             "fg_color"_kw = "transparent");
        call(set_button.attr("add_button"_id), FF,
             "image_path"_kw = platform::template_path(g, "\\格式範本\\問號001.png"),
             "button_event"_kw = button_event_008, "size"_kw = py::make_tuple(25, 25),
             "padx"_kw = py::make_tuple(78, 105), "row"_kw = 0, "column"_kw = 1,
             "fg_color"_kw = "transparent");

        // The dialogs and the clearing of the command, reachable from the
        // output card; Enter in the command entry launches like the button.
        add_settings_strip(ctk, frame[2], button_event_004, button_event_009, button_event_003);
        bind_enter_to_launch(ctk, frame[5], button_event_001);

        // The poller, first tick 500 ms from now.
        py::object aa = wrap_handler(g, make_poller(g, channel, parts, poller_self));
        poller_self->bind(aa);
        app.attr("after"_id)(500, aa);

        // The event loop, until the window is closed.
        app.attr("mainloop"_id)();
    } catch (...) {
        poller_self->release();
        discard_window(app);
        throw;
    }
    poller_self->release();

    // Shutdown: tell the worker, in this order, that the window has closed.
    if (!imported_as_module(g)) return;
    Queue_All_variable[kEndKey].attr("put"_id)(py::none());
    Event_All_variable[kEndKey].attr("set"_id)();
    Queue_All_variable[kStartKey].attr("put"_id)(py::none());
}

// GUI(Queue_All_variable, Event_All_variable); `module` is the function's
// own module, whose globals every step looks its collaborators up in.
PyObject *gui_entry(PyObject *module, PyObject *args, PyObject *kwargs) noexcept {
    PyObject *bound[2] = {nullptr, nullptr};
    if (!bind_arguments(args, kwargs, bound)) return nullptr;
    const bool ran = run_from_python(PyExc_RuntimeError, "in GUI()", [module, &bound] {
        Globals g = py::reinterpret_borrow<py::dict>(PyModule_GetDict(module));
        run_gui(g, py::reinterpret_borrow<py::object>(bound[0]),
                py::reinterpret_borrow<py::object>(bound[1]));
    });
    if (!ran) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef gui_def = {
    "GUI",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(gui_entry)),
    METH_VARARGS | METH_KEYWORDS,
    "GUI(Queue_All_variable, Event_All_variable)\n--\n\n"
    "Runs the main window until it is closed, then signals the worker.",
};

}  // namespace

void init_window(py::module_ &m) {
    // The function holds its module as `self` (a reference the garbage
    // collector can see), as C functions of a module do.
    PyObject *fn = PyCFunction_NewEx(&gui_def, m.ptr(), m.attr("__name__"_id).ptr());
    if (fn == nullptr) throw py::error_already_set();
    m.attr("GUI"_id) = py::reinterpret_steal<py::object>(fn);
#ifdef GUI_LEAK_PROBE
    // Test-only build: a string nobody owns, for the sanitizer stage to report.
    static_cast<void>(PyUnicode_FromString("GUI leak probe"));
#endif
}

}  // namespace gui
