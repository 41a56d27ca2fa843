// Shared helpers of the GUI extension: module-global lookup, calls with
// interned names, the built-ins saved at import, the translation of C++
// exceptions at the module's edges and the font every widget uses.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <type_traits>
#include <utility>

namespace gui {

namespace py = pybind11;

// The module's globals. Every function looks its collaborators up here each
// time it runs, so a host or a test can replace any of them.
using Globals = py::dict;

// Value of a module global; NameError "name '...' is not defined" when absent,
// as Python's own global lookup reports it.
py::object global(const Globals &g, const char *name);

// Attribute and keyword names go to Python as interned strings, as compiled
// Python code passes them. CPython's type attribute cache (4096 slots) picks a
// slot by the address of the name string and keeps a reference to that string.
// A fresh string per lookup, which pybind11's obj.attr("x") makes, and its
// keyword calls too (a fresh "__contains__" per keyword), lands in another slot
// nearly every time and stays there until the slot is reused: each window left
// about 50 stale strings behind. An interned name is one string in one slot.
py::str interned(const char *text);

// "name"_id: the interned name, for obj.attr("name"_id).
inline py::str operator""_id(const char *text, std::size_t) { return interned(text); }

// A keyword argument of call(): "name"_kw = value.
struct Keyword {
    py::str name;
    py::object value;
};

struct KeywordName {
    const char *text;
    template <typename T>
    Keyword operator=(T &&value) const;
};

inline KeywordName operator""_kw(const char *text, std::size_t) { return {text}; }

// callable(positional..., name=value...): positional arguments first, then
// keywords, as in Python.
template <typename... Args>
py::object call(const py::object &callable, Args &&...args);

// The built-ins looked up once at import, so that a later change to the
// builtins module does not reach the window.
enum class Builtin { print, input, range };
// Saves print, input and range from the running interpreter's builtins;
// -1 with a Python error set on failure.
int save_builtins() noexcept;
// Drops the saved built-ins (an import that failed, so that the next starts afresh).
void release_builtins() noexcept;
// The saved built-in; NameError as Python reports it when none is saved.
py::object saved_builtin(Builtin which);

// str(value): the text form Python's str() gives (also for bytes).
py::str text_of(py::handle value);

// print(value) through the saved built-in.
void print_line(py::handle value);

// True for KeyboardInterrupt: a guarded step that swallows its errors lets
// this one through to the caller.
bool is_keyboard_interrupt(const py::error_already_set &e);

// Inside a catch block: turns the C++ exception in flight into the pending
// Python error. pybind11's errors stay what they are, std::bad_alloc becomes
// MemoryError, any other exception `fallback` with its message ("unknown C++
// exception <where>" when it has none).
void set_error_from_exception(PyObject *fallback, const char *where) noexcept;

// Runs body() where Python calls into C++ and returns true; when it throws,
// sets the Python error as set_error_from_exception does and returns false.
template <typename Body>
bool run_from_python(PyObject *fallback, const char *where, Body &&body) noexcept {
    try {
        body();
        return true;
    } catch (...) {
        set_error_from_exception(fallback, where);
        return false;
    }
}

// customtkinter.CTkFont(family="Microsoft JhengHei", size=size, weight="bold").
py::object bold_font(const py::object &customtkinter, int size);

// True when the module was imported under its own name, not run as "__main__":
// only then is there a worker on the other end of the channel.
bool imported_as_module(const Globals &g);

namespace arguments {

// value as a Python object: Python objects and accessors as they are, C++
// values through pybind11's casters.
template <typename T>
py::object to_python(T &&value) {
    if constexpr (std::is_convertible_v<T &&, py::object>) {
        return py::object(std::forward<T>(value));
    } else {
        return py::cast(std::forward<T>(value));
    }
}

template <typename T>
inline constexpr bool is_keyword = std::is_same_v<std::decay_t<T>, Keyword>;

template <std::size_t N>
constexpr bool keywords_last(const bool (&keyword)[N]) {
    for (std::size_t i = 1; i < N; ++i) {
        if (keyword[i - 1] && !keyword[i]) return false;
    }
    return true;
}

template <typename T, std::enable_if_t<!is_keyword<T>, int> = 0>
void collect(py::object &slot, py::tuple &, std::size_t &, T &&value) {
    slot = to_python(std::forward<T>(value));
}

inline void collect(py::object &slot, py::tuple &names, std::size_t &k, Keyword &&keyword) {
    PyTuple_SET_ITEM(names.ptr(), k++, keyword.name.release().ptr());  // steals
    slot = std::move(keyword.value);
}

}  // namespace arguments

template <typename T>
Keyword KeywordName::operator=(T &&value) const {
    return {interned(text), arguments::to_python(std::forward<T>(value))};
}

template <typename... Args>
py::object call(const py::object &callable, Args &&...args) {
    constexpr std::size_t n = sizeof...(Args);
    constexpr std::size_t keywords = (std::size_t{0} + ... + (arguments::is_keyword<Args> ? 1 : 0));
    constexpr bool keyword[] = {arguments::is_keyword<Args>..., true};
    static_assert(arguments::keywords_last(keyword), "positional arguments must precede keywords");

    std::array<py::object, n> values;
    py::tuple names(keywords);
    std::size_t i = 0, k = 0;
    (arguments::collect(values[i++], names, k, std::forward<Args>(args)), ...);
    (void)i;
    (void)k;

    // One spare slot in front lets the callee prepend `self` without copying.
    std::array<PyObject *, n + 1> stack{};
    for (std::size_t j = 0; j < n; ++j) stack[j + 1] = values[j].ptr();
    PyObject *result = PyObject_Vectorcall(callable.ptr(), stack.data() + 1,
                                           (n - keywords) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           keywords > 0 ? names.ptr() : nullptr);
    if (result == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

}  // namespace gui
