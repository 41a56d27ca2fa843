// The two setting dialogs: report fonts with text-size ratio, and the number
// of closest patents to analyse. Each call opens a fresh, independent window;
// its confirm button stores into the shared settings record and leaves the
// dialog open.

#include "settings/settings.hpp"

namespace gui {

namespace {

using namespace pybind11::literals;

// A new top-level window, kept above the others, titled "設定".
py::object open_setting_window(const py::object &ctk, const char *geometry) {
    py::object setting_window = ctk.attr("CTkToplevel")();
    setting_window.attr("attributes")("-topmost", true);
    setting_window.attr("title")("設定");
    setting_window.attr("geometry")(geometry);
    return setting_window;
}

py::object python_type(PyTypeObject *type) {
    return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(type));
}

}  // namespace

py::cpp_function make_font_dialog(const Globals &g, const py::object &PP) {
    return py::cpp_function(
        [g, PP]() {
            py::object ctk = global(g, "customtkinter");
            py::object setting_window = open_setting_window(ctk, "300x330");
            auto family_names = [] {
                py::list names;
                for (const char *n : {"微軟正黑體", "標楷體", "Calibri", "新細明體", "Brush Script MT"}) {
                    names.append(py::str(n));
                }
                return names;
            };

            py::object entry_name = ctk.attr("CTkLabel")(
                setting_window, "text"_a = "英文字體設定", "font"_a = bold_font(ctk, 15));
            entry_name.attr("grid")("row"_a = 1, "column"_a = 0, "sticky"_a = "nsew",
                                    "pady"_a = py::make_tuple(0, 10));

            py::object optionmenu_004_A = ctk.attr("CTkOptionMenu")(
                setting_window, "font"_a = bold_font(ctk, 13), "width"_a = 50, "height"_a = 20,
                "dynamic_resizing"_a = false, "values"_a = family_names());
            optionmenu_004_A.attr("grid")("row"_a = 1, "column"_a = 0,
                                          "padx"_a = py::make_tuple(20, 20),
                                          "pady"_a = py::make_tuple(60, 10), "sticky"_a = "nsew");
            optionmenu_004_A.attr("set")(PP.attr("parameters")["英文文字字體"]);

            entry_name = ctk.attr("CTkLabel")(setting_window, "text"_a = "中文字體設定",
                                              "font"_a = bold_font(ctk, 15));
            entry_name.attr("grid")("row"_a = 2, "column"_a = 0, "sticky"_a = "nsew",
                                    "pady"_a = py::make_tuple(0, 10));

            py::object optionmenu_004_B = ctk.attr("CTkOptionMenu")(
                setting_window, "font"_a = bold_font(ctk, 13), "width"_a = 50, "height"_a = 20,
                "dynamic_resizing"_a = false, "values"_a = family_names());
            optionmenu_004_B.attr("grid")("row"_a = 3, "column"_a = 0,
                                          "padx"_a = py::make_tuple(20, 20),
                                          "pady"_a = py::make_tuple(10, 10), "sticky"_a = "nsew");
            optionmenu_004_B.attr("set")(PP.attr("parameters")["中文文字字體"]);

            entry_name = ctk.attr("CTkLabel")(setting_window, "text"_a = "文字大小比例",
                                              "font"_a = bold_font(ctk, 15));
            entry_name.attr("grid")("row"_a = 4, "column"_a = 0, "sticky"_a = "nsew",
                                    "pady"_a = py::make_tuple(10, 10));

            // The ratio as a percentage, written as Python writes the product.
            py::object percent = py::object(PP.attr("parameters")["文字大小比例"]) * py::int_(100);
            py::object entry = ctk.attr("CTkEntry")(setting_window,
                                                    "placeholder_text"_a = text_of(percent),
                                                    "width"_a = 300, "height"_a = 30);
            entry.attr("grid")("row"_a = 5, "column"_a = 0, "sticky"_a = "new");

            py::cpp_function button_event_004_A(
                [entry, optionmenu_004_A, optionmenu_004_B, PP]() {
                    py::object ss = entry.attr("get")();
                    try {
                        py::object ratio = python_type(&PyFloat_Type)(ss) / py::float_(100.0);
                        PP.attr("parameters")["文字大小比例"] = ratio;
                    } catch (py::error_already_set &) {
                        PP.attr("parameters")["文字大小比例"] = py::int_(1);
                    }
                    PP.attr("parameters")["中文文字字體"] = optionmenu_004_B.attr("get")();
                    PP.attr("parameters")["英文文字字體"] = optionmenu_004_A.attr("get")();
                },
                py::name("button_event_004_A"));

            py::object button_1 =
                ctk.attr("CTkButton")(setting_window, "text"_a = "確認",
                                      "command"_a = button_event_004_A, "font"_a = bold_font(ctk, 15));
            button_1.attr("grid")("row"_a = 6, "column"_a = 0, "padx"_a = 50,
                                  "pady"_a = py::make_tuple(10, 10));
        },
        py::name("button_event_004"));
}

py::cpp_function make_count_dialog(const Globals &g, const py::object &PP) {
    return py::cpp_function(
        [g, PP]() {
            py::object ctk = global(g, "customtkinter");
            py::object setting_window = open_setting_window(ctk, "300x130");

            py::object entry_name = ctk.attr("CTkLabel")(
                setting_window, "text"_a = "分析最接近專利數量", "font"_a = bold_font(ctk, 15));
            entry_name.attr("grid")("row"_a = 1, "column"_a = 0, "sticky"_a = "nsew",
                                    "pady"_a = py::make_tuple(10, 10));

            py::object entry = ctk.attr("CTkEntry")(
                setting_window,
                "placeholder_text"_a = text_of(PP.attr("parameters")["分析最接近專利數量"]),
                "width"_a = 300, "height"_a = 30);
            entry.attr("grid")("row"_a = 2, "column"_a = 0, "sticky"_a = "new");

            py::cpp_function button_event_004_A(
                [entry, PP]() {
                    py::object ss = entry.attr("get")();
                    try {
                        PP.attr("parameters")["分析最接近專利數量"] = python_type(&PyLong_Type)(ss);
                    } catch (py::error_already_set &) {
                        PP.attr("parameters")["分析最接近專利數量"] = py::int_(1);
                    }
                },
                py::name("button_event_004_A"));

            py::object button_1 =
                ctk.attr("CTkButton")(setting_window, "text"_a = "確認",
                                      "command"_a = button_event_004_A, "font"_a = bold_font(ctk, 15));
            button_1.attr("grid")("row"_a = 3, "column"_a = 0, "padx"_a = 50,
                                  "pady"_a = py::make_tuple(10, 10));
        },
        py::name("button_event_009"));
}

}  // namespace gui
