// The settings record class Parameters.

#include "settings/settings.hpp"

#include "shared_names.hpp"

namespace gui {

namespace {

// Parameters.__init__: a new dictionary, then the seven defaults in order.
void parameters_init(py::handle self) {
    self.attr("parameters"_id) = py::dict();
    self.attr("parameters"_id)["顯示免用統一發票章"] = py::bool_(false);
    self.attr("parameters"_id)["顯示負責人章"] = py::bool_(false);
    self.attr("parameters"_id)["顯示日期"] = py::bool_(true);
    self.attr("parameters"_id)[kRatioKey] = py::int_(kDefaultRatio);
    self.attr("parameters"_id)[kChineseFontKey] = py::str(kDefaultChineseFont);
    self.attr("parameters"_id)[kLatinFontKey] = py::str(kDefaultLatinFont);
    self.attr("parameters"_id)[kCountKey] = py::int_(kDefaultCount);
}


// Parameters.__init__(self), with Python's wording for a wrong call.
PyObject *parameters_init_entry(PyObject *, PyObject *args, PyObject *kwargs) noexcept {
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        PyDict_Next(kwargs, &pos, &key, &value);
        PyErr_Format(PyExc_TypeError,
                     "Parameters.__init__() got an unexpected keyword argument '%S'", key);
        return nullptr;
    }
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs != 1) {
        if (nargs == 0) {
            PyErr_SetString(PyExc_TypeError,
                            "Parameters.__init__() missing 1 required positional argument: 'self'");
        } else {
            PyErr_Format(PyExc_TypeError,
                         "Parameters.__init__() takes 1 positional argument but %zd were given", nargs);
        }
        return nullptr;
    }
    PyObject *self = PyTuple_GET_ITEM(args, 0);
    if (!run_from_python(PyExc_RuntimeError, "in Parameters.__init__()",
                         [self] { parameters_init(self); })) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef parameters_init_def = {
    "__init__",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(parameters_init_entry)),
    METH_VARARGS | METH_KEYWORDS,
    nullptr,
};

}  // namespace

void init_settings(py::module_ &m) {
    py::object init = py::reinterpret_steal<py::object>(
        PyCFunction_NewEx(&parameters_init_def, nullptr, m.attr("__name__"_id).ptr()));
    if (!init) throw py::error_already_set();
    // A builtin function does not bind to instances; instancemethod makes it
    // behave like a function defined in a class body.
    py::object method = py::reinterpret_steal<py::object>(PyInstanceMethod_New(init.ptr()));
    if (!method) throw py::error_already_set();

    py::dict ns;
    ns["__module__"] = py::str("GUI");
    ns["__qualname__"] = py::str("Parameters");
    ns["__init__"] = method;
    py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyType_Type));
    py::object object = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyBaseObject_Type));
    m.attr("Parameters"_id) = type("Parameters", py::make_tuple(object), ns);
}

}  // namespace gui
