// Search job control: the search launch and the progress and log poller.
#pragma once

#include "common.hpp"
#include "shared_names.hpp"

#include <memory>

namespace gui {

// button_name and idle text of the output button.
inline constexpr const char *kOutputButton = "輸出檢索列表";

// The channel to the worker that GUI() was called with.
struct Channel {
    py::object queues;  // Queue_All_variable: start requests, receipts, the end signal
    py::object events;  // Event_All_variable: the run flag and the end flag
};

// The parts of the main window the search handlers read and change. Each
// handler keeps only the parts it uses, as it would capture them in Python.
struct WindowParts {
    py::object app;
    py::object settings;    // the Parameters record (PP)
    py::object set_table;   // the entry table holding the search command
    py::object set_button;  // the button bar holding the output button
    py::object textbox;     // the log box
};

// button_event_001: raises the run flag, hands the worker a start request and
// resets the log box.
py::cpp_function make_launch(const Globals &g, const Channel &channel, const WindowParts &window);

// How the poller reaches its own wrapped form to re-arm itself. It holds a
// weak reference where the wrapper allows one, so the poller and its wrapper
// form no cycle that the garbage collector cannot see; otherwise a strong
// one, which release() drops once the event loop has ended.
class PollerSelf {
public:
    void bind(const py::object &wrapped);
    py::object get() const;
    void release() { ref_ = py::object(); }

private:
    py::object ref_;
    bool weak_ = false;
};

// aa: one tick of the poller; re-arms itself through `self`.
py::cpp_function make_poller(const Globals &g, const Channel &channel, const WindowParts &window,
                             std::shared_ptr<PollerSelf> self);

}  // namespace gui
