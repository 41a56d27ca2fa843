// Module frame of GUI: the exported entry, the create and exec slots of
// multi-phase initialisation, and the module body with its install fallback.
//
// Ownership: the frame holds exactly one module object (g_module, a strong
// reference) from the start of a successful-so-far execution until the
// process ends, and the three saved built-ins (common.cpp). Everything else
// is owned by the module's attributes.

#include <Python.h>

#include "common.hpp"
#include "host/host.hpp"
#include "platform.hpp"
#include "settings/settings.hpp"
#include "window/window.hpp"

#include <cstdint>

namespace {

namespace py = pybind11;

// Identifier of the interpreter that first created the module; -1 before.
int64_t g_interp_id = -1;
// The module whose execution began and did not fail, or nullptr.
PyObject *g_module = nullptr;
// Module creation: one module per process, refused in a second interpreter;
// a repeated import gets the module that exists.
PyObject *create_GUI(PyObject *spec, PyModuleDef *) noexcept {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    if (g_interp_id == -1) {
        g_interp_id = id;
    } else if (g_interp_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded "
                        "into one interpreter per process.");
        return nullptr;
    }
    if (g_module != nullptr) return Py_NewRef(g_module);

    PyObject *name = PyObject_GetAttrString(spec, "name");
    if (name == nullptr) return nullptr;
    PyObject *module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (module == nullptr) return nullptr;

    static const struct {
        const char *from, *to;
        bool skip_none;
    } copies[] = {
        {"loader", "__loader__", false},
        {"origin", "__file__", false},
        {"parent", "__package__", false},
        {"submodule_search_locations", "__path__", true},
    };
    for (const auto &c : copies) {
        PyObject *value = PyObject_GetAttrString(spec, c.from);
        if (value == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                Py_DECREF(module);
                return nullptr;
            }
            PyErr_Clear();  // a spec without this attribute: skip it
            continue;
        }
        int rc = (c.skip_none && value == Py_None) ? 0 : PyObject_SetAttrString(module, c.to, value);
        Py_DECREF(value);
        if (rc < 0) {
            Py_DECREF(module);
            return nullptr;
        }
    }
    return module;
}

// Warns when the running interpreter is not the one compiled for.
int check_version() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    return PyErr_WarnFormat(nullptr, 1,
                            "compile time Python version %d.%d of module '%.100s' %s "
                            "runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, "GUI", "does not match",
                            major, minor);
}

// Enters the module in sys.modules under "GUI" unless an entry exists.
int register_module(PyObject *module) {
    PyObject *modules = PyImport_GetModuleDict();  // borrowed
    PyObject *key = PyUnicode_FromString("GUI");
    if (key == nullptr) return -1;
    int rc = PyDict_Contains(modules, key);
    if (rc == 0) rc = PyDict_SetItem(modules, key, module);
    Py_DECREF(key);
    return rc < 0 ? -1 : 0;
}

// Import with install fallback: import, else run the installer and import again,
// else show the hint and wait for Enter. The toolkit stays unbound then.
void import_with_fallback(py::module_ &m, const char *name, const char *command,
                          const char *hint) {
    try {
        m.attr(name) = py::module_::import(name);
        return;
    } catch (py::error_already_set &) {
        // anything at all: fall through to the installer
    }
    try {
        gui::platform::run_shell_command(command);
        m.attr(name) = py::module_::import(name);
        return;
    } catch (py::error_already_set &) {
        // the installer did not help: ask the user
    }
    gui::saved_builtin(gui::Builtin::print)(hint);
    gui::saved_builtin(gui::Builtin::input)();
}

// The module body: its imports, the helper package, the settings class and
// the window function; run as "__main__" it opens the window at once.
void run_body(py::module_ m) {
    m.attr("os") = py::module_::import("os");
    import_with_fallback(m, "tkinter", "py -m pip install tkinter",
                         "請安裝 py -m pip install tkinter");
    import_with_fallback(m, "customtkinter", "py -m pip install customtkinter",
                         "請安裝 py -m pip install customtkinter");
    m.attr("time") = py::module_::import("time");
    m.attr("webbrowser") = py::module_::import("webbrowser");
    m.attr("Image") = py::module_::import("PIL.Image");
    m.attr("subprocess") = py::module_::import("subprocess");
    m.attr("pyautogui") = py::module_::import("pyautogui");
    gui::init_host(m);
    gui::init_settings(m);
    gui::init_window(m);
    if (py::object(m.attr("__name__")).equal(py::str("__main__"))) {
        m.attr("GUI")("X", "X");
    }
}

// Runs the body; no C++ exception leaves this function.
int run_body_checked(PyObject *module) noexcept {
    const bool ran = gui::run_from_python(PyExc_ImportError, "while importing GUI", [module] {
        run_body(py::reinterpret_borrow<py::module_>(module));
    });
    return ran ? 0 : -1;
}

// Module execution: version check, sys.modules entry, saved built-ins, body.
int exec_GUI(PyObject *module) noexcept {
    if (g_module != nullptr) {
        if (g_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'GUI' has already been imported. "
                        "Re-initialisation is not supported.");
        return -1;
    }
    g_module = Py_NewRef(module);
    if (check_version() == 0 && register_module(module) == 0 && gui::save_builtins() == 0 &&
        run_body_checked(module) == 0) {
        return 0;
    }
    // Let go of everything so that a later import starts afresh; the
    // exception stays set across the releases.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Py_CLEAR(g_module);
    gui::release_builtins();
    PyErr_Restore(type, value, traceback);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(create_GUI)},
    {Py_mod_exec, reinterpret_cast<void *>(exec_GUI)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "GUI",         // m_name
    nullptr,       // m_doc
    0,             // m_size
    nullptr,       // m_methods
    module_slots,  // m_slots
    nullptr,       // m_traverse
    nullptr,       // m_clear
    nullptr,       // m_free
};

}  // namespace

PyMODINIT_FUNC PyInit_GUI(void) { return PyModuleDef_Init(&module_def); }
