// Search launch and progress/log poller.

#include "jobs/jobs.hpp"

namespace gui {

namespace {

// The texts the poller shows or compares with, made once per window rather
// than on every tick.
struct PollerTexts {
    py::str idle{kOutputButton};
    py::str busy[3] = {py::str("輸出中."), py::str("輸出中.."), py::str("輸出中...")};
    py::str marker{kCompletionMarker};
    py::str line_end{"\n"};
    py::str nothing{""};
    py::str back_two{"-2c"}, back_one{"-1c"};  // Tk index offsets from END: the last character of the text
    py::str closing{"\n完成"};

    // Next busy text while the run flag is raised: "輸出中." -> ".." -> "..." -> ".",
    // any other text -> "輸出中.".
    const py::str &next_busy(const py::object &current) const {
        for (int i = 0; i < 3; ++i) {
            if (current.equal(busy[i])) return busy[(i + 1) % 3];
        }
        return busy[0];
    }
};

}  // namespace

py::cpp_function make_launch(const Globals &g, const Channel &channel, const WindowParts &window) {
    return py::cpp_function(
        [g, Event_All_variable = channel.events, PP = window.settings,
         set_table = window.set_table, Queue_All_variable = channel.queues,
         textbox = window.textbox]() {
            Event_All_variable[kReceiptKey].attr("set"_id)();

            py::dict request;
            for (const char *key : {kRatioKey, kChineseFontKey, kLatinFontKey, kCountKey}) {
                request[key] = PP.attr("parameters"_id)[key];
            }
            request[kCommandKey] = set_table.attr("get"_id)(kCommandKey);

            if (imported_as_module(g)) {
                const py::str empty("");
                try {
                    const bool has_command = !py::object(request[kCommandKey]).equal(empty);
                    if (has_command) Queue_All_variable[kStartKey].attr("put"_id)(request);
                    py::object END = global(g, "tkinter").attr("END"_id);
                    textbox.attr("delete"_id)("1.0", END);
                    if (!has_command) textbox.attr("insert"_id)(END, "請輸入關鍵字\n");
                } catch (py::error_already_set &e) {
                    if (is_keyboard_interrupt(e)) throw;
                    py::object END = global(g, "tkinter").attr("END"_id);
                    textbox.attr("insert"_id)(END, "button_event_001函數出現錯誤\n", "red_tag");
                    textbox.attr("insert"_id)(END, text_of(e.value()) + py::str("\n"));
                }
            }

            try {
                call(textbox.attr("tag_config"_id), "red_tag", "foreground"_kw = "red");
            } catch (py::error_already_set &e) {
                if (is_keyboard_interrupt(e)) throw;
            }
        },
        py::name("button_event_001"));
}

void PollerSelf::bind(const py::object &wrapped) {
    PyObject *ref = PyWeakref_NewRef(wrapped.ptr(), nullptr);
    if (ref != nullptr) {
        ref_ = py::reinterpret_steal<py::object>(ref);
        weak_ = true;
        return;
    }
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
    PyErr_Clear();  // not weak-referenceable: hold it strongly until release()
    ref_ = wrapped;
    weak_ = false;
}

py::object PollerSelf::get() const {
    if (!ref_) {
        PyErr_SetString(PyExc_RuntimeError, "the poller's window has closed");
        throw py::error_already_set();
    }
    if (!weak_) return ref_;
    PyObject *target = PyWeakref_GetObject(ref_.ptr());  // borrowed
    if (target == nullptr) throw py::error_already_set();
    if (target == Py_None) {
        PyErr_SetString(PyExc_RuntimeError, "the poller's wrapper no longer exists");
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(target);
}

py::cpp_function make_poller(const Globals &g, const Channel &channel, const WindowParts &window,
                             std::shared_ptr<PollerSelf> self) {
    auto texts = std::make_shared<const PollerTexts>();
    // Set once 完成 closes a run: a receipt that comes before the log box is
    // cleared (a restarted worker's first words) starts a line of its own.
    auto after_closing = std::make_shared<bool>(false);
    return py::cpp_function(
        [g, Event_All_variable = channel.events, set_button = window.set_button,
         Queue_All_variable = channel.queues, textbox = window.textbox, app = window.app, self,
         texts, after_closing]() {
            // The output button: the busy animation while the run flag is
            // raised, its idle text otherwise.
            try {
                if (py::bool_(Event_All_variable[kReceiptKey].attr("is_set"_id)())) {
                    py::object text = set_button.attr("cget"_id)(texts->idle, "text");
                    call(set_button.attr("configure"_id), texts->idle,
                         "text"_kw = texts->next_busy(text));
                } else {
                    call(set_button.attr("configure"_id), texts->idle, "text"_kw = texts->idle);
                }
            } catch (py::error_already_set &e) {
                if (is_keyboard_interrupt(e)) throw;
            }

            // At most one receipt per tick: a line for the log box, or the
            // completion marker, which closes the run.
            try {
                py::object receipts = Queue_All_variable[kReceiptKey];
                if (!py::bool_(receipts.attr("empty"_id)())) {
                    py::object PAPN = receipts.attr("get"_id)();
                    py::object END = global(g, "tkinter").attr("END"_id);
                    if (PAPN.not_equal(texts->marker)) {
                        py::object line = text_of(PAPN) + texts->line_end;
                        if (*after_closing) {
                            *after_closing = false;
                            py::object last = textbox.attr("get"_id)(END + texts->back_two, END + texts->back_one);
                            if (last.not_equal(texts->nothing) && last.not_equal(texts->line_end)) {
                                line = texts->line_end + line;
                            }
                        }
                        textbox.attr("insert"_id)(END, line);
                    } else {
                        textbox.attr("insert"_id)(END, texts->closing);
                        *after_closing = true;
                        Event_All_variable[kReceiptKey].attr("clear"_id)();
                    }
                }
            } catch (py::error_already_set &e) {
                if (is_keyboard_interrupt(e)) throw;
            }

            // Re-arm; an error here stops polling.
            app.attr("after"_id)(500, self->get());
        },
        py::name("aa"));
}

}  // namespace gui
