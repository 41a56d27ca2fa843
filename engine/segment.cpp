// Native segmentation of patent text for the full-text index.
//
// The rules are those of varnel_host/segment.py (its docstring is the
// reference; tests/segment_reference.py writes them in Python and the tests
// compare this module with it): a CJK run (whitespace between CJK characters
// ignored) becomes its overlapping bigrams and its last character; any other
// run of letters and digits is one token, with "/" or "." between two digits
// kept inside it.
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
//
// Glob matches a search's wildcard pattern against the index's tokens
// (varnel_host/expand.py), in time bounded by the token's and pattern's lengths.

#include <pybind11/pybind11.h>

#include <cstddef>
#include <string>
#include <string_view>
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

bool is_word(Py_UCS4 c) {
    if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    return !is_cjk(c) && Py_UNICODE_ISALNUM(c);
}

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

// The index tokens of one field, each a slice of `text` (folded code points).
class TokenList {
public:
    void clear() {
        text_.clear();
        spans_.clear();
        heads_.clear();
    }
    size_t size() const { return spans_.size(); }
    std::u32string_view operator[](size_t i) const {
        return std::u32string_view(text_).substr(spans_[i].first, spans_[i].second);
    }
    // The first code point of every token, in order.
    const std::vector<char32_t>& heads() const { return heads_; }

    // A piece of text: a CJK run's bigrams and closing character, else one token.
    void add_piece(bool cjk, const std::u32string& piece) {
        const size_t base = text_.size();
        text_ += piece;
        if (!cjk || piece.size() == 1) {
            add(base, piece.size());
            return;
        }
        for (size_t i = 0; i + 1 < piece.size(); ++i) add(base + i, 2);
        add(base + piece.size() - 1, 1);
    }
    // Index tokens joined by spaces, as stored.
    void add_joined(const py::str& joined) {
        const ::Text view(joined);
        size_t start = text_.size();
        for (size_t i = 0; i < view.size(); ++i) {
            const Py_UCS4 c = view[i];
            if (c == U' ') {
                if (text_.size() > start) add(start, text_.size() - start);
                start = text_.size();
            } else {
                text_ += c;
            }
        }
        if (text_.size() > start) add(start, text_.size() - start);
    }

private:
    void add(size_t start, size_t length) {
        spans_.emplace_back(start, length);
        heads_.push_back(text_[start]);
    }

    std::u32string text_;
    std::vector<std::pair<size_t, size_t>> spans_;  // (start, length) in text_
    std::vector<char32_t> heads_;
};

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
    // Runs without the GIL, taking it only for the Python folds of rare
    // characters, so that an import segments beside its SQLite writer.
    py::str index_text(const py::str& raw) const {
        std::u32string out;
        {
            py::gil_scoped_release unlocked;
            const std::u32string text = normalized(raw);
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
        }
        return to_str(out);
    }

    // The index tokens of a text, added to `out`.
    void tokens(const py::str& raw, TokenList& out) const {
        scan(normalized(raw), [&out](bool cjk, const std::u32string& piece) { out.add_piece(cjk, piece); });
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
                py::gil_scoped_acquire locked;
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
        py::gil_scoped_acquire locked;
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

// Whether two sides stand within `distance` words of each other in one field
// (tests/near_reference.py near_test() is the same check in Python). A side is
// a list of phrases (tokens, last token a prefix, last token covers one more
// word); a place of a phrase is its (first word, last word), a token being a
// word. The two sides are places sharing no word: a word is never near itself.
class NearTest {
public:
    NearTest(const Segmenter& segmenter, const py::list& lefts, const py::list& rights, int distance, bool ordered)
        : segmenter_(segmenter), lefts_(phrases(lefts)), rights_(phrases(rights)), distance_(distance),
          ordered_(ordered) {}

    // In any of these field texts, segmented here.
    bool in_texts(const py::sequence& texts) {
        for (const auto text : fields(texts)) {
            tokens_.clear();
            segmenter_.tokens(checked(text), tokens_);
            if (holds()) return true;
        }
        return false;
    }

    // In any of these fields given as their space-joined index tokens.
    bool in_tokens(const py::sequence& joined) {
        for (const auto text : fields(joined)) {
            tokens_.clear();
            tokens_.add_joined(checked(text));
            if (holds()) return true;
        }
        return false;
    }

private:
    struct Phrase {
        std::vector<std::u32string> tokens;
        bool prefix;
        bool wide;
    };
    using Places = std::vector<std::pair<std::ptrdiff_t, std::ptrdiff_t>>;

    static const py::sequence& fields(const py::sequence& texts) {
        if (PyUnicode_Check(texts.ptr())) throw py::type_error("the fields come as a sequence of str");
        return texts;
    }

    static py::str checked(const py::handle& text) {
        if (!PyUnicode_Check(text.ptr())) throw py::type_error("a field is a str");
        return py::reinterpret_borrow<py::str>(text);
    }

    static std::vector<Phrase> phrases(const py::list& side) {
        std::vector<Phrase> out;
        for (const auto item : side) {
            const auto phrase = item.cast<py::tuple>();
            Phrase made{{}, phrase[1].cast<bool>(), phrase[2].cast<bool>()};
            for (const auto token : phrase[0]) {
                made.tokens.push_back(code_points(token));
                if (made.tokens.back().empty()) throw py::value_error("a token is never empty");
            }
            if (made.tokens.empty()) throw py::value_error("a phrase has at least one token");
            out.push_back(std::move(made));
        }
        return out;
    }

    void places(const std::vector<Phrase>& side, Places& out) const {
        out.clear();
        const size_t n = tokens_.size();
        for (const Phrase& phrase : side) {
            const size_t last = phrase.tokens.size() - 1;
            const char32_t head = phrase.tokens[0][0];
            const std::vector<char32_t>& heads = tokens_.heads();
            for (size_t i = 0; i + last < n; ++i) {
                if (heads[i] != head) continue;
                size_t k = 0;
                while (k < last && tokens_[i + k] == phrase.tokens[k]) ++k;
                if (k < last) continue;
                const std::u32string_view end = tokens_[i + last];
                const std::u32string& want = phrase.tokens[last];
                if (end == want || (phrase.prefix && end.substr(0, want.size()) == want)) {
                    out.emplace_back(static_cast<std::ptrdiff_t>(i), static_cast<std::ptrdiff_t>(i + last + (phrase.wide ? 1u : 0u)));
                }
            }
        }
    }

    bool holds() {
        places(rights_, right_places_);
        if (right_places_.empty()) return false;
        places(lefts_, left_places_);
        for (const auto& [first, last] : left_places_) {
            for (const auto& [start, end] : right_places_) {
                if (start - last >= 1 && start - last <= distance_) return true;
                if (!ordered_ && first - end >= 1 && first - end <= distance_) return true;
            }
        }
        return false;
    }

    const Segmenter& segmenter_;
    std::vector<Phrase> lefts_;
    std::vector<Phrase> rights_;
    std::ptrdiff_t distance_;
    bool ordered_;
    TokenList tokens_;
    Places left_places_;
    Places right_places_;
};

// A wildcard pattern over index tokens: "?" one code point, "*" any run of
// them, every other code point itself; a token matches when the whole of it
// does. The walk is the greedy one that, on a mismatch, goes back only to the
// last "*" (taking one more code point into it): at worst the token's length
// times the pattern's, never the exponential search of a backtracking regex.
class Glob {
public:
    // The pattern as its literal pieces with one mark ("?" or "*") between each two.
    Glob(const py::list& pieces, const py::str& marks) {
        const ::Text between(marks);
        if (pieces.size() != between.size() + 1) throw py::value_error("one more piece than marks");
        for (size_t i = 0; i < pieces.size(); ++i) {
            if (!PyUnicode_Check(pieces[i].ptr())) throw py::type_error("a piece is a str");
            pattern_ += code_points(pieces[i]);
            if (i == between.size()) break;
            if (between[i] == U'?') {
                pattern_ += kOne;
            } else if (between[i] == U'*') {
                if (pattern_.empty() || pattern_.back() != kAny) pattern_ += kAny;  // "**" is "*"
            } else {
                throw py::value_error("a mark is ? or *");
            }
        }
    }

    // (the tokens the pattern matches, in order; the index after the last
    // token looked at): tokens[start:] are looked at until the work done
    // (each token's length plus one, times the pattern's) passes `work`, at
    // least one of them, so that the caller can look at the clock between calls.
    py::tuple matching(const py::list& tokens, size_t start, size_t work) const {
        py::list out;
        const size_t n = tokens.size();
        const size_t width = pattern_.size() + 1;
        size_t done = 0;
        size_t i = start;
        while (i < n && (i == start || done <= work)) {
            const py::handle token = tokens[i++];
            if (!PyUnicode_Check(token.ptr())) throw py::type_error("a token is a str");
            const ::Text text(py::reinterpret_borrow<py::str>(token));
            if (matches(text)) out.append(token);
            done += (text.size() + 1) * width;
        }
        return py::make_tuple(out, i);
    }

private:
    // Past the end of Unicode: no token holds them.
    static constexpr char32_t kOne = 0x110000;
    static constexpr char32_t kAny = 0x110001;

    bool matches(const ::Text& token) const {
        const size_t n = token.size();
        const size_t m = pattern_.size();
        size_t t = 0;
        size_t p = 0;
        size_t star = std::u32string::npos;  // the last "*" passed, and where its run ends in the token
        size_t resume = 0;
        while (t < n) {
            if (p < m && pattern_[p] == kAny) {
                star = p++;
                resume = t;
            } else if (p < m && (pattern_[p] == kOne || pattern_[p] == token[t])) {
                ++p;
                ++t;
            } else if (star != std::u32string::npos) {
                p = star + 1;
                t = ++resume;
            } else {
                return false;
            }
        }
        while (p < m && pattern_[p] == kAny) ++p;
        return p == m;
    }

    std::u32string pattern_;
};

}  // namespace

PYBIND11_MODULE(_segment, module) {
    module.doc() = "Native segmentation of patent text (see varnel_host.segment).";
    py::class_<Segmenter>(module, "Segmenter")
        .def(py::init<const py::dict&, py::object, const py::dict&, const py::set&, py::object>(),
             py::arg("cjk_folds"), py::arg("fold_word"), py::arg("nfkc"), py::arg("contextual"), py::arg("normalize"))
        .def("index_text", &Segmenter::index_text, py::arg("text"))
        .def("pieces", &Segmenter::pieces, py::arg("text"));
    py::class_<NearTest>(module, "NearTest")
        .def(py::init<const Segmenter&, const py::list&, const py::list&, int, bool>(), py::keep_alive<1, 2>(),
             py::arg("segmenter"), py::arg("lefts"), py::arg("rights"), py::arg("distance"), py::arg("ordered"))
        .def("in_texts", &NearTest::in_texts, py::arg("texts"))
        .def("in_tokens", &NearTest::in_tokens, py::arg("joined"));
    py::class_<Glob>(module, "Glob")
        .def(py::init<const py::list&, const py::str&>(), py::arg("pieces"), py::arg("marks"))
        .def("matching", &Glob::matching, py::arg("tokens"), py::arg("start"), py::arg("work"));
}
