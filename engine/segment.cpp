// Native segmentation of patent text for the full-text index.
//
// The rules are those of varnel_host/segment.py (its docstring is the
// reference; the pure-Python functions there are kept and tested against this
// module): a CJK run (whitespace between CJK characters ignored) becomes its
// overlapping bigrams and its last character; any other run of letters and
// digits is one token, with "/" or "." between two digits kept inside it.
// Character classes are those of Python's `re` module (Py_UNICODE_ISALNUM,
// Py_UNICODE_ISSPACE, Py_UNICODE_ISDECIMAL), so both paths cut alike.
//
// Text is first NFKC-normalised one character at a time through a table made
// by the caller with Python's unicodedata; a text holding a character whose
// normalisation depends on its neighbours (combining marks, Hangul jamo,
// half-width voicing marks: the caller's `contextual` set) is normalised whole
// by the caller's function instead. CJK characters are folded through a
// caller-given code point map (Traditional -> Simplified), words of ASCII are
// lower-cased here and any other word is folded by a caller-given function.

#include <pybind11/pybind11.h>

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace {

// The CJK code points as [first, end) ranges: kana, Han (with extensions and
// compatibility ideographs) and Hangul. The same table as _CJK_RANGES in
// varnel_host/segment.py; tests/test_shared_constants.py proves them equal.
struct CodePointRange {
    Py_UCS4 first;
    Py_UCS4 end;
};
constexpr CodePointRange kCjkRanges[] = {
    {0x3040, 0x3100}, {0x3400, 0x4DC0}, {0x4E00, 0xA000}, {0xAC00, 0xD7B0}, {0xF900, 0xFB00}, {0x20000, 0x40000},
};

bool is_cjk(Py_UCS4 c) {
    for (const CodePointRange& range : kCjkRanges) {
        if (c >= range.first && c < range.end) return true;
    }
    return false;
}

bool is_word(Py_UCS4 c) { return !is_cjk(c) && Py_UNICODE_ISALNUM(c); }

// A read-only view of a str's code points.
class Text {
public:
    explicit Text(const py::str& text)
        : kind_(PyUnicode_KIND(text.ptr())), data_(PyUnicode_DATA(text.ptr())),
          size_(static_cast<size_t>(PyUnicode_GET_LENGTH(text.ptr()))) {}
    size_t size() const { return size_; }
    Py_UCS4 operator[](size_t i) const { return PyUnicode_READ(kind_, data_, i); }

private:
    int kind_;
    const void* data_;
    size_t size_;
};

std::u32string code_points(const py::handle& text) {
    const Text view(py::reinterpret_borrow<py::str>(text));
    std::u32string out(view.size(), U'\0');
    for (size_t i = 0; i < view.size(); ++i) out[i] = view[i];
    return out;
}

py::str to_str(const std::u32string& text) {
    PyObject* made = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text.data(), static_cast<Py_ssize_t>(text.size()));
    if (made == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(made);
}

class Segmenter {
public:
    Segmenter(const py::dict& cjk_folds, py::object fold_word, const py::dict& nfkc, const py::set& contextual,
              py::object normalize)
        : fold_word_(std::move(fold_word)), normalize_(std::move(normalize)) {
        for (auto item : cjk_folds) {
            const Py_UCS4 from = item.first.cast<Py_UCS4>();
            const Py_UCS4 to = item.second.cast<Py_UCS4>();
            if (!is_cjk(from) || !is_cjk(to) || from >= kTable) {
                throw py::value_error("folds map CJK code points to CJK code points");
            }
            cjk_folds_[from] = to;
        }
        for (auto item : nfkc) {
            const Py_UCS4 code = item.first.cast<Py_UCS4>();
            nfkc_[code] = code_points(item.second);
            if (code < kTable) kinds_[code] = kChanged;
        }
        for (auto item : contextual) {
            const Py_UCS4 code = item.cast<Py_UCS4>();
            if (code >= kTable) throw py::value_error("contextual code points lie below U+40000");
            kinds_[code] = kContextual;
        }
    }

    // The space-joined index tokens of a text.
    py::str index_text(const py::str& raw) const {
        const std::u32string text = normalized(raw);
        std::u32string out;
        out.reserve(text.size() * 3);
        scan(text, [&out](bool cjk, const std::u32string& piece) {
            if (!out.empty()) out += U' ';
            if (!cjk || piece.size() == 1) {
                out += piece;
                return;
            }
            for (size_t i = 0; i + 1 < piece.size(); ++i) {
                out += piece[i];
                out += piece[i + 1];
                out += U' ';
            }
            out += piece.back();
        });
        return to_str(out);
    }

    // (CJK run, "") or ("", folded word) for each piece of a text.
    py::list pieces(const py::str& raw) const {
        py::list out;
        const py::str empty("");
        scan(normalized(raw), [&](bool cjk, const std::u32string& piece) {
            py::str made = to_str(piece);
            py::tuple pair = cjk ? py::tuple(py::make_tuple(made, empty)) : py::tuple(py::make_tuple(empty, made));
            out.append(pair);
        });
        return out;
    }

private:
    using Text = std::u32string;

    std::u32string normalized(const py::str& raw) const {
        const ::Text view(raw);
        std::u32string out;
        out.reserve(view.size());
        for (size_t i = 0; i < view.size(); ++i) {
            const Py_UCS4 c = view[i];
            const unsigned char kind = c < kTable ? kinds_[c] : static_cast<unsigned char>(kPlain);
            if (kind == kPlain) {
                out += c;
            } else if (kind == kContextual) {
                return code_points(normalize_(raw));
            } else {
                out += nfkc_.at(c);
            }
        }
        return out;
    }

    template <typename Emit>
    void scan(const Text& text, Emit&& emit) const {
        const size_t n = text.size();
        std::u32string piece;
        size_t i = 0;
        while (i < n) {
            const Py_UCS4 c = text[i];
            piece.clear();
            if (is_cjk(c)) {
                i = cjk_run(text, i, piece);
                emit(true, piece);
            } else if (is_word(c)) {
                i = word(text, i, piece);
                emit(false, piece);
            } else {
                ++i;
            }
        }
    }

    // CJK characters, also across white space that has CJK on both sides.
    size_t cjk_run(const Text& text, size_t i, std::u32string& piece) const {
        const size_t n = text.size();
        for (;;) {
            while (i < n && is_cjk(text[i])) piece += fold(text[i++]);
            size_t j = i;
            while (j < n && Py_UNICODE_ISSPACE(text[j])) ++j;
            if (j == i || j == n || !is_cjk(text[j])) return i;
            i = j;
        }
    }

    // Letters and digits, with "/" or "." between two decimal digits.
    size_t word(const Text& text, size_t i, std::u32string& piece) const {
        const size_t n = text.size();
        const size_t start = i;
        bool ascii = true;
        for (;;) {
            for (; i < n && is_word(text[i]); ++i) {
                if (text[i] >= 0x80) ascii = false;
            }
            if (i + 1 < n && (text[i] == '/' || text[i] == '.') && Py_UNICODE_ISDECIMAL(text[i - 1]) &&
                Py_UNICODE_ISDECIMAL(text[i + 1])) {
                ++i;
                continue;
            }
            break;
        }
        if (ascii) {
            for (size_t k = start; k < i; ++k) {
                const Py_UCS4 c = text[k];
                piece += (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
            }
            return i;
        }
        std::u32string raw;
        for (size_t k = start; k < i; ++k) raw += text[k];
        piece += code_points(fold_word_(to_str(raw)));
        return i;
    }

    Py_UCS4 fold(Py_UCS4 c) const {
        const Py_UCS4 folded = c < kTable ? cjk_folds_[c] : 0;
        return folded != 0 ? folded : c;
    }

    // Per code point below kTable: how NFKC treats it, and its CJK fold (0: none).
    static constexpr Py_UCS4 kTable = 0x40000;
    enum : unsigned char { kPlain, kChanged, kContextual };
    std::vector<unsigned char> kinds_ = std::vector<unsigned char>(kTable, kPlain);
    std::vector<Py_UCS4> cjk_folds_ = std::vector<Py_UCS4>(kTable, 0);
    std::unordered_map<Py_UCS4, std::u32string> nfkc_;
    py::object fold_word_;
    py::object normalize_;
};

}  // namespace

PYBIND11_MODULE(_segment, module) {
    module.doc() = "Native segmentation of patent text (see varnel_host.segment).";
    py::class_<Segmenter>(module, "Segmenter")
        .def(py::init<const py::dict&, py::object, const py::dict&, const py::set&, py::object>(),
             py::arg("cjk_folds"), py::arg("fold_word"), py::arg("nfkc"), py::arg("contextual"), py::arg("normalize"))
        .def("index_text", &Segmenter::index_text, py::arg("text"))
        .def("pieces", &Segmenter::pieces, py::arg("text"));
}
