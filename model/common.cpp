// Shared helpers of the GUI extension.

#include "common.hpp"

namespace gui {

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

void print_line(py::handle value) { kept(Builtin::print)(value); }

bool swallowable(const py::error_already_set &e) {
    return !e.matches(PyExc_KeyboardInterrupt);
}

py::object bold_font(const py::object &customtkinter, int size) {
    return call(customtkinter.attr("CTkFont"_id), "family"_kw = "Microsoft JhengHei",
                "size"_kw = size, "weight"_kw = "bold");
}

bool attached(const Globals &g) {
    return !global(g, "__name__").equal(py::str("__main__"));
}

}  // namespace gui
