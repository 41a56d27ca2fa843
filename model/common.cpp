// Shared helpers of the GUI extension.

#include "common.hpp"

#include <exception>
#include <new>

namespace gui {

namespace {

// print, input and range as they were at import; empty before and after a
// failed import.
PyObject *g_builtins[3] = {nullptr, nullptr, nullptr};
const char *const kBuiltinNames[3] = {"print", "input", "range"};

}  // namespace

int save_builtins() noexcept {
    PyObject *builtins = PyEval_GetBuiltins();  // borrowed
    if (builtins == nullptr) return -1;
    for (int i = 0; i < 3; ++i) {
        PyObject *name = PyUnicode_FromString(kBuiltinNames[i]);
        if (name == nullptr) return -1;
        PyObject *value = PyDict_GetItemWithError(builtins, name);  // borrowed
        if (value == nullptr) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
            Py_DECREF(name);
            return -1;
        }
        Py_DECREF(name);
        Py_XSETREF(g_builtins[i], Py_NewRef(value));
    }
    return 0;
}

void release_builtins() noexcept {
    for (PyObject *&b : g_builtins) Py_CLEAR(b);
}

py::object saved_builtin(Builtin which) {
    PyObject *b = g_builtins[static_cast<int>(which)];
    if (b == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined",
                     kBuiltinNames[static_cast<int>(which)]);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(b);
}

void set_error_from_exception(PyObject *fallback, const char *where) noexcept {
    try {
        throw;
    } catch (py::error_already_set &e) {
        e.restore();
    } catch (py::builtin_exception &e) {
        e.set_error();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(fallback, e.what());
    } catch (...) {
        PyErr_Format(fallback, "unknown C++ exception %s", where);
    }
}

py::object global(const Globals &g, const char *name) {
    PyObject *value = PyDict_GetItemString(g.ptr(), name);  // borrowed
    if (value == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(value);
}

py::str interned(const char *text) {
    PyObject *name = PyUnicode_InternFromString(text);
    if (name == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(name);
}

py::str text_of(py::handle value) {
    PyObject *text = PyObject_Str(value.ptr());
    if (text == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

void print_line(py::handle value) { saved_builtin(Builtin::print)(value); }

bool is_keyboard_interrupt(const py::error_already_set &e) {
    return e.matches(PyExc_KeyboardInterrupt);
}

py::object bold_font(const py::object &customtkinter, int size) {
    return call(customtkinter.attr("CTkFont"_id), "family"_kw = "Microsoft JhengHei",
                "size"_kw = size, "weight"_kw = "bold");
}

bool imported_as_module(const Globals &g) {
    return !global(g, "__name__").equal(py::str("__main__"));
}

}  // namespace gui
