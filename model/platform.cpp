// Windows-only behaviour and its native equivalents elsewhere.
//
// On Windows the folders live on drive C:. Elsewhere "C:/" stands for the
// folder named by TESSALOOM_DRIVE_C, or the user's home folder.

#include "platform.hpp"

#include "shared_names.hpp"

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace gui::platform {

namespace {

// The maker folder and the product folder inside it, relative to the drive
// root, with `separator` between the parts and none at either end.
std::string product_path(const char *separator) {
    return std::string(kMakerFolder) + separator + kProductName;
}

// The folder that stands for drive C:, with a trailing "/".
std::string drive_root(const Globals &g) {
    if (is_windows(g)) return "C:/";
    py::object os = global(g, "os");
    py::object chosen = os.attr("environ"_id).attr("get"_id)("TESSALOOM_DRIVE_C", "");
    std::string root = py::str(chosen).cast<std::string>();
    if (root.empty()) root = os.attr("path"_id).attr("expanduser"_id)("~").cast<std::string>();
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root == "/" ? root : root + "/";
}

}  // namespace

bool is_windows(const Globals &g) {
    return py::object(global(g, "os").attr("name"_id)).equal(py::str("nt"));
}

void create_product_folders(const Globals &g) noexcept {
    auto swallow = [](auto &&step) {
        try {
            step();
        } catch (...) {
            // every failure is ignored: the folder may exist, the drive may be missing
        }
    };
    std::string root;
    swallow([&] { root = drive_root(g); });
    if (root.empty()) return;
    swallow([&] { global(g, "os").attr("mkdir"_id)(root + kMakerFolder + "/"); });
    swallow([&] { global(g, "os").attr("mkdir"_id)(root + product_path("/") + "/"); });
}

std::string product_folder(const Globals &g) {
    return drive_root(g) + product_path("/");
}

py::str template_path(const Globals &g, const char *windows_suffix) {
    py::object path = global(g, "os").attr("path"_id);
    py::object module_folder = path.attr("dirname"_id)(path.attr("abspath"_id)(global(g, "__file__")));
    std::string suffix = windows_suffix;
    if (!is_windows(g)) {
        for (char &c : suffix) {
            if (c == '\\') c = '/';
        }
    }
    return module_folder + py::str(suffix);
}

void set_window_icon(const Globals &g, const py::object &app) {
    py::str icon = template_path(g, "\\格式範本\\logo.ico");
    if (is_windows(g)) {
        app.attr("iconbitmap"_id)(icon);
        return;
    }
    // Tk on X11 reads no .ico: load it with Pillow and hand Tk a photo image.
    py::object image = global(g, "Image").attr("open"_id)(icon);
    try {
        py::object photo =
            call(py::module_::import("PIL.ImageTk").attr("PhotoImage"_id), image,
                 "master"_kw = app);
        app.attr("iconphoto"_id)(true, photo);  // Tk copies the pixels
    } catch (...) {
        image.attr("close"_id)();
        throw;
    }
    image.attr("close"_id)();
}

void run_shell_command(const char *command) {
    // Flush Python's buffered output so the installer's output follows it.
    for (const char *stream : {"stdout", "stderr"}) {
        PyObject *file = PySys_GetObject(stream);  // borrowed
        if (file != nullptr && file != Py_None) {
            PyObject *result = PyObject_CallMethod(file, "flush", nullptr);
            if (result == nullptr) PyErr_Clear();
            Py_XDECREF(result);
        }
    }
    Py_BEGIN_ALLOW_THREADS
    int status = std::system(command);
    (void)status;  // the exit status is not looked at
    Py_END_ALLOW_THREADS
}

void open_product_folder(const Globals &g) {
    py::object Popen = global(g, "subprocess").attr("Popen"_id);
    if (is_windows(g)) {
        Popen("explorer C:\\" + product_path("\\"));
        return;
    }
    const bool mac = py::object(py::module_::import("sys").attr("platform"_id)).equal(py::str("darwin"));
    py::list argv;
    argv.append(py::str(mac ? "open" : "xdg-open"));
    argv.append(py::str(product_folder(g)));
    Popen(argv);
}

}  // namespace gui::platform
