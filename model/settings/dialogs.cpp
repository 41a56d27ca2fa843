// The two setting dialogs: report fonts with text-size ratio, and the number
// of closest patents to analyse. Each call opens a fresh, independent window;
// its confirm button stores into the shared settings record and leaves the
// dialog open.

#include "settings/settings.hpp"

#include "shared_names.hpp"

namespace gui {

namespace {

// What a confirmation stores when the typed text is no number: the ratio 1
// (100 %), and the count 1, not its default of 5.
constexpr int kRatioFallback = 1;
constexpr int kCountFallback = 1;

// A new top-level window, kept above the others, titled "設定".
py::object open_setting_window(const py::object &ctk, const char *geometry) {
    py::object setting_window = ctk.attr("CTkToplevel"_id)();
    setting_window.attr("attributes"_id)("-topmost", true);
    setting_window.attr("title"_id)("設定");
    setting_window.attr("geometry"_id)(geometry);
    return setting_window;
}

py::object python_type(PyTypeObject *type) {
    return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(type));
}

// A bold caption in column 0 of `row`.
void add_caption(const py::object &ctk, const py::object &window, const char *caption, int row,
                 py::tuple pady) {
    py::object label = call(ctk.attr("CTkLabel"_id), window, "text"_kw = caption,
                            "font"_kw = bold_font(ctk, 15));
    call(label.attr("grid"_id), "row"_kw = row, "column"_kw = 0, "sticky"_kw = "nsew",
         "pady"_kw = pady);
}

// The rows that end both dialogs: the value's caption at `row`, below it an
// entry showing the current value as its placeholder, and below that the
// 確認 button, which hands what was typed to store(text).
template <typename Store>
void add_value_rows(const py::object &ctk, const py::object &window, int row, const char *caption,
                    const py::str &current, Store store) {
    add_caption(ctk, window, caption, row, py::make_tuple(10, 10));
    py::object entry = call(ctk.attr("CTkEntry"_id), window, "placeholder_text"_kw = current,
                            "width"_kw = 300, "height"_kw = 30);
    call(entry.attr("grid"_id), "row"_kw = row + 1, "column"_kw = 0, "sticky"_kw = "new");

    py::cpp_function confirm([entry, store]() { store(py::object(entry.attr("get"_id)())); },
                             py::name("button_event_004_A"));
    py::object button = call(ctk.attr("CTkButton"_id), window, "text"_kw = "確認",
                             "command"_kw = confirm, "font"_kw = bold_font(ctk, 15));
    call(button.attr("grid"_id), "row"_kw = row + 2, "column"_kw = 0, "padx"_kw = 50,
         "pady"_kw = py::make_tuple(10, 10));
}

}  // namespace

py::cpp_function make_font_dialog(const Globals &g, const py::object &PP) {
    return py::cpp_function(
        [g, PP]() {
            py::object ctk = global(g, "customtkinter");
            py::object setting_window = open_setting_window(ctk, "300x330");
            // Both menus offer the same five families, the two defaults among them.
            auto family_names = [] {
                py::list names;
                for (const char *n : {"微軟正黑體", kDefaultChineseFont, kDefaultLatinFont, "新細明體",
                                      "Brush Script MT"}) {
                    names.append(py::str(n));
                }
                return names;
            };

            // A caption, then an option menu of the families showing the current one.
            auto font_choice = [&](const char *caption, int caption_row, py::tuple caption_pady,
                                   int menu_row, py::tuple menu_pady, const char *key) {
                add_caption(ctk, setting_window, caption, caption_row, caption_pady);
                py::object menu = call(ctk.attr("CTkOptionMenu"_id), setting_window,
                                       "font"_kw = bold_font(ctk, 13), "width"_kw = 50,
                                       "height"_kw = 20, "dynamic_resizing"_kw = false,
                                       "values"_kw = family_names());
                call(menu.attr("grid"_id), "row"_kw = menu_row, "column"_kw = 0,
                     "padx"_kw = py::make_tuple(20, 20), "pady"_kw = menu_pady,
                     "sticky"_kw = "nsew");
                menu.attr("set"_id)(PP.attr("parameters"_id)[key]);
                return menu;
            };
            py::object optionmenu_004_A = font_choice("英文字體設定", 1, py::make_tuple(0, 10), 1,
                                                      py::make_tuple(60, 10), kLatinFontKey);
            py::object optionmenu_004_B = font_choice("中文字體設定", 2, py::make_tuple(0, 10), 3,
                                                      py::make_tuple(10, 10), kChineseFontKey);

            // The ratio as a percentage, written as Python writes the product.
            py::object percent = py::object(PP.attr("parameters"_id)[kRatioKey]) * py::int_(100);
            add_value_rows(ctk, setting_window, 4, kRatioKey, text_of(percent),
                           [optionmenu_004_A, optionmenu_004_B, PP](const py::object &ss) {
                               try {
                                   py::object ratio =
                                       python_type(&PyFloat_Type)(ss) / py::float_(100.0);
                                   PP.attr("parameters"_id)[kRatioKey] = ratio;
                               } catch (py::error_already_set &) {
                                   PP.attr("parameters"_id)[kRatioKey] = py::int_(kRatioFallback);
                               }
                               PP.attr("parameters"_id)[kChineseFontKey] =
                                   optionmenu_004_B.attr("get"_id)();
                               PP.attr("parameters"_id)[kLatinFontKey] =
                                   optionmenu_004_A.attr("get"_id)();
                           });
        },
        py::name("button_event_004"));
}

py::cpp_function make_count_dialog(const Globals &g, const py::object &PP) {
    return py::cpp_function(
        [g, PP]() {
            py::object ctk = global(g, "customtkinter");
            py::object setting_window = open_setting_window(ctk, "300x130");

            py::object count = PP.attr("parameters"_id)[kCountKey];
            add_value_rows(ctk, setting_window, 1, kCountKey, text_of(count),
                           [PP](const py::object &ss) {
                               try {
                                   PP.attr("parameters"_id)[kCountKey] =
                                       python_type(&PyLong_Type)(ss);
                               } catch (py::error_already_set &) {
                                   PP.attr("parameters"_id)[kCountKey] = py::int_(kCountFallback);
                               }
                           });
        },
        py::name("button_event_009"));
}

}  // namespace gui
