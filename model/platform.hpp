// Everything that differs between Windows (the product's home) and other
// systems. Each function decides by `os.name` of the module's `os` at call time.
#pragma once

#include "common.hpp"

#include <string>

namespace gui::platform {

bool is_windows(const Globals &g);

// Creates the maker folder and then the product folder, one os.mkdir each,
// swallowing every failure.
void create_product_folders(const Globals &g) noexcept;

// The product folder without trailing separator, in native form.
std::string product_folder(const Globals &g);

// Module folder + suffix; `windows_suffix` is written as on Windows
// ("\\格式範本\\logo.png") and gets "/" for each "\\" elsewhere.
py::str template_path(const Globals &g, const char *windows_suffix);

// Sets the window icon from the template folder's logo.ico.
void set_window_icon(const Globals &g, const py::object &app);

// Runs a command line through the system's command shell and waits for it.
// The exit status is not looked at.
void run_shell_command(const char *command);

// Opens the product folder in the desktop's file manager, without waiting.
void open_product_folder(const Globals &g);

}  // namespace gui::platform
