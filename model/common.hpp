// Shared helpers of the GUI extension: module-global lookup, calls with
// interned names, the kept built-ins, the wrapper of handlers and the fonts
// every widget uses.
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
