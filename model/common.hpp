// Shared helpers of the GUI extension: module-global lookup, the kept
// built-ins, the wrapper of handlers and the fonts every widget uses.
#pragma once

#include <pybind11/pybind11.h>

namespace gui {

namespace py = pybind11;

// The module's globals. Every function looks its collaborators up here each
// time it runs, so a host or a test can replace any of them.
using Globals = py::dict;

// Value of a module global; NameError "name '...' is not defined" when absent,
// as Python's own global lookup reports it.
py::object global(const Globals &g, const char *name);

// The built-ins looked up once at import.
enum class Builtin { print, input, range };
py::object kept(Builtin which);

// str(value): the text form Python's str() gives (also for bytes).
py::str text_of(py::handle value);

// print(value) through the kept built-in.
void print_line(py::handle value);

// True for every error that a guarded step may swallow: all but
// KeyboardInterrupt, which always reaches the caller.
bool swallowable(const py::error_already_set &e);

// try_except_log(handler), the wrapper every nested handler runs in.
py::object wrap_handler(const Globals &g, const py::object &handler);

// customtkinter.CTkFont(family="Microsoft JhengHei", size=size, weight="bold").
py::object bold_font(const py::object &customtkinter, int size);

// True when the module runs under its own name, not as "__main__".
bool attached(const Globals &g);

}  // namespace gui
