// Rows of a worksheet written as SpreadsheetML, natively.
//
// varnel_host/xlsx_rows.py drives it (TableRows, HeldRows): the XML is what
// xlsxwriter's own cell calls write of the same cells (the tests compare it
// with those calls, tests/xlsx_rows_reference.py). Each row is a tuple of
// values, one per column of a fixed layout; a batch of rows becomes one bytes
// object of UTF-8 XML for the sheet's row data.
//
// What depends on the workbook stays in Python and is asked once per sheet
// through the `styles` object given with each batch: the style number of each
// cell format (asked on first use, in cell order, as xlsxwriter numbers them),
// the run properties of each font and the serial of a date written in other
// than ASCII digits.
// The character classes (XML's allowed characters, the CJK runs, white space)
// come from the caller too, so that both writers read one table.
//
// A text cell: characters XML cannot carry are dropped and the text is cut to
// Excel's 32,767 UTF-16 units ("…" marks a cut); a text of one script is a
// plain string in its font, any other a rich string of CJK and other runs.
// A marked cell is (text, edges): a text given cleaned and the edges of its
// marked stretches, (start, end) pairs in code points; marked runs are bold
// in the marking colour (the run properties the styles give), and a text that
// is one marked run is a plain string in the marked style of its font.
// A row may be given a height: its <row> then carries it, as set_row writes it.
// Excel's own escapes are applied as xlsxwriter applies them: a literal
// _xHHHH_ gets its underscore escaped and control characters become _xHHHH_,
// once in a plain string and twice in a rich string's runs.
//
// Links: a cell holding (text, url) gets a hyperlink while the sheet holds
// fewer than the limit; the <hyperlinks> element and the sheet's relationships
// are made here too, with xlsxwriter's URL escapes.
//
// A number that is not finite (inf, -inf, nan) is an empty cell in the
// column's format: never a formula. Rows and columns stay within Excel's
// sheet (ValueError past it, nothing written).

#include <pybind11/pybind11.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace py = pybind11;
using namespace std::string_view_literals;

namespace {

constexpr std::size_t kCellLimit = 32767;  // Excel's limit per cell, in UTF-16 units
constexpr std::size_t kRowLimit = 1048576;  // Excel's rows per sheet
constexpr std::size_t kColumnLimit = 16384;  // Excel's columns per sheet
constexpr std::size_t kUrlLimit = 2080;     // xlsxwriter's limit of a link, in UTF-16 units
constexpr Py_UCS4 kEllipsis = 0x2026;
constexpr std::string_view kLinkType = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/hyperlink";

// A set of code points given as inclusive (first, last) ranges, with a bitmap
// of the Basic Multilingual Plane for the common case.
class CodeSet {
public:
    explicit CodeSet(const py::iterable& ranges) : bmp_(0x10000 / 64, 0) {
        for (py::handle item : ranges) {
            const auto pair = py::reinterpret_borrow<py::tuple>(item);
            if (pair.size() != 2) throw py::value_error("a code point range is a (first, last) pair");
            const Py_UCS4 first = pair[0].cast<Py_UCS4>();
            const Py_UCS4 last = pair[1].cast<Py_UCS4>();
            if (first > last || last > 0x10FFFF) throw py::value_error("a code point range runs from first to last");
            for (Py_UCS4 c = first; c <= last && c < 0x10000; ++c) bmp_[c >> 6] |= std::uint64_t{1} << (c & 63);
            if (last >= 0x10000) astral_.emplace_back(std::max<Py_UCS4>(first, 0x10000), last);
        }
    }
    bool has(Py_UCS4 c) const {
        if (c < 0x10000) return (bmp_[c >> 6] >> (c & 63)) & 1;
        for (const auto& [first, last] : astral_) {
            if (c >= first && c <= last) return true;
        }
        return false;
    }

private:
    std::vector<std::uint64_t> bmp_;
    std::vector<std::pair<Py_UCS4, Py_UCS4>> astral_;
};

// A read-only view of a str's code points.
class Text {
public:
    explicit Text(py::handle text) {
        if (!PyUnicode_Check(text.ptr())) throw py::type_error("a text cell takes a str");
        kind_ = PyUnicode_KIND(text.ptr());
        data_ = PyUnicode_DATA(text.ptr());
        size_ = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text.ptr()));
    }
    std::size_t size() const { return size_; }
    Py_UCS4 operator[](std::size_t i) const { return PyUnicode_READ(kind_, data_, i); }

    // Code points [from, to) appended to `out` as UTF-8.
    void put_utf8(std::string& out, std::size_t from, std::size_t to) const {
        const std::size_t old = out.size();
        out.resize(old + 4 * (to - from));
        char* p = &out[old];
        if (kind_ == PyUnicode_1BYTE_KIND) {
            const auto* chars = static_cast<const Py_UCS1*>(data_);
            for (std::size_t i = from; i < to; ++i) p = encode(p, chars[i]);
        } else if (kind_ == PyUnicode_2BYTE_KIND) {
            const auto* chars = static_cast<const Py_UCS2*>(data_);
            for (std::size_t i = from; i < to; ++i) p = encode(p, chars[i]);
        } else {
            const auto* chars = static_cast<const Py_UCS4*>(data_);
            for (std::size_t i = from; i < to; ++i) p = encode(p, chars[i]);
        }
        out.resize(static_cast<std::size_t>(p - out.data()));
    }

    static char* encode(char* p, Py_UCS4 c) {
        if (c < 0x80) {
            *p++ = static_cast<char>(c);
        } else if (c < 0x800) {
            *p++ = static_cast<char>(0xC0 | (c >> 6));
            *p++ = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *p++ = static_cast<char>(0xE0 | (c >> 12));
            *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *p++ = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            *p++ = static_cast<char>(0xF0 | (c >> 18));
            *p++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *p++ = static_cast<char>(0x80 | (c & 0x3F));
        }
        return p;
    }

private:
    int kind_ = 0;
    const void* data_ = nullptr;
    std::size_t size_ = 0;
};

void put_utf8(std::string& out, const std::u32string& text, std::size_t from, std::size_t to) {
    const std::size_t old = out.size();
    out.resize(old + 4 * (to - from));
    char* p = &out[old];
    for (std::size_t i = from; i < to; ++i) p = Text::encode(p, text[i]);
    out.resize(static_cast<std::size_t>(p - out.data()));
}

std::string utf8(py::handle text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data == nullptr) throw py::error_already_set();
    return std::string(data, static_cast<std::size_t>(size));
}

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// The control characters Excel writes as _xHHHH_ (tab and line feed stay).
bool is_excel_control(unsigned char c) { return c <= 0x08 || (c >= 0x0B && c <= 0x1F); }

void put_hex4(std::string& out, unsigned value) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (int shift = 12; shift >= 0; shift -= 4) out += kDigits[(value >> shift) & 0xF];
}

// Excel's escapes, as xlsxwriter applies them to UTF-8 text: every literal
// _xHHHH_ (left to right, not overlapping) gets its underscore written as
// _x005F_, then every control character becomes _xHHHH_.
void put_excel_escaped(std::string& out, std::string_view text) {
    bool plain = true;
    for (std::size_t i = 0; i < text.size() && plain; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        plain = !is_excel_control(c) && !(c == '_' && i + 1 < text.size() && text[i + 1] == 'x');
    }
    if (plain) {
        out += text;
        return;
    }
    std::string literal;
    literal.reserve(text.size() + 16);
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] == '_' && i + 6 < text.size() && text[i + 1] == 'x' && is_hex(text[i + 2]) && is_hex(text[i + 3]) &&
            is_hex(text[i + 4]) && is_hex(text[i + 5]) && text[i + 6] == '_') {
            literal += "_x005F"sv;
            literal += text.substr(i, 7);
            i += 7;
        } else {
            literal += text[i++];
        }
    }
    for (const char c : literal) {
        if (is_excel_control(static_cast<unsigned char>(c))) {
            out += "_x"sv;
            put_hex4(out, static_cast<unsigned char>(c));
            out += '_';
        } else {
            out += c;
        }
    }
}

// & < > as entities, as xlsxwriter writes cell text.
void put_xml_text(std::string& out, std::string_view text) {
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"sv; break;
            case '<': out += "&lt;"sv; break;
            case '>': out += "&gt;"sv; break;
            default: out += c;
        }
    }
}

// & " < > and line feeds as entities, as xlsxwriter writes attribute values.
void put_xml_attribute(std::string& out, std::string_view text) {
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"sv; break;
            case '"': out += "&quot;"sv; break;
            case '<': out += "&lt;"sv; break;
            case '>': out += "&gt;"sv; break;
            case '\n': out += "&#xA;"sv; break;
            default: out += c;
        }
    }
}

// A number as Python's format(value, ".16G") writes it.
void put_number(std::string& out, double value) {
    char buffer[40];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 16);
    if (error != std::errc()) throw py::value_error("a number that cannot be written");
    for (char* c = buffer; c != end; ++c) out += (*c == 'e' ? 'E' : *c);
}

void put_column(std::string& out, std::size_t col) {
    char letters[4];
    int n = 0;
    for (std::size_t rest = col + 1; rest > 0; rest = (rest - 1) / 26) letters[n++] = static_cast<char>('A' + (rest - 1) % 26);
    while (n > 0) out += letters[--n];
}

std::size_t utf16_length(std::string_view text) {
    std::size_t units = 0;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte & 0xC0) != 0x80) units += byte >= 0xF0 ? 2 : 1;  // a lead byte: four-byte sequences take a pair
    }
    return units;
}

// A URL with xlsxwriter's escapes: left as it is when it already holds a %XX
// escape, else % " space < > [ ] ^ ` { } percent-encoded.
std::string escaped_url(std::string_view url) {
    for (std::size_t i = 0; i + 2 < url.size(); ++i) {
        if (url[i] == '%' && is_hex(url[i + 1]) && is_hex(url[i + 2])) return std::string(url);
    }
    std::string out;
    out.reserve(url.size());
    for (const char c : url) {
        switch (c) {
            case '%': out += "%25"sv; break;
            case '"': out += "%22"sv; break;
            case ' ': out += "%20"sv; break;
            case '<': out += "%3c"sv; break;
            case '>': out += "%3e"sv; break;
            case '[': out += "%5b"sv; break;
            case ']': out += "%5d"sv; break;
            case '^': out += "%5e"sv; break;
            case '`': out += "%60"sv; break;
            case '{': out += "%7b"sv; break;
            case '}': out += "%7d"sv; break;
            default: out += c;
        }
    }
    return out;
}

// Days from 0001-01-01 to y-m-d (proleptic Gregorian), as date.toordinal() - 1.
long days_before(int year, int month, int day) {
    static constexpr int kBeforeMonth[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    const long y = year - 1;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return y * 365 + y / 4 - y / 100 + y / 400 + kBeforeMonth[month - 1] + (month > 2 && leap) + day - 1;
}

bool valid_date(int year, int month, int day) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1 || month < 1 || month > 12 || day < 1) return false;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= kDays[month - 1] + (month == 2 && leap);
}

enum class Kind { Number, Date, Text, Link, Marked };

struct Column {
    Kind kind;
    std::string num_format;  // of a number or date column
    bool wrap;               // of a text or link column
    int xf = -1;             // of a number or date column, once asked
};

struct Link {
    std::size_t row;
    std::size_t col;
    std::string target;  // escaped URL
    std::string anchor;  // the part after '#', if any
};

class SheetRows {
public:
    SheetRows(const py::list& columns, const py::iterable& xml_ranges, const py::iterable& cjk_ranges,
              const py::iterable& spaces, std::size_t first_row, std::size_t links_held, std::size_t link_limit,
              bool date_1904)
        : xml_(xml_ranges), cjk_(cjk_ranges), spaces_(spaces), row_(first_row),
          links_held_(links_held), link_limit_(link_limit), date_1904_(date_1904) {
        for (py::handle item : columns) {
            const auto spec = py::reinterpret_borrow<py::tuple>(item);
            if (spec.size() != 3) throw py::value_error("a column is (kind, number format, wrap)");
            const std::string kind = spec[0].cast<std::string>();
            Column column{Kind::Text, spec[1].cast<std::string>(), spec[2].cast<bool>()};
            if (kind == "number") {
                column.kind = Kind::Number;
            } else if (kind == "date") {
                column.kind = Kind::Date;
            } else if (kind == "link") {
                column.kind = Kind::Link;
            } else if (kind == "marked") {
                column.kind = Kind::Marked;
            } else if (kind != "text") {
                throw py::value_error("a column is a number, date, text, marked text or link");
            }
            columns_.push_back(std::move(column));
            std::string prefix = "<c r=\"";
            put_column(prefix, prefixes_.size());
            prefixes_.push_back(std::move(prefix));
        }
        if (columns_.size() > kColumnLimit) throw py::value_error("a sheet holds at most 16,384 columns");
        if (first_row >= kRowLimit) throw py::value_error("a sheet holds at most 1,048,576 rows");
        text_xf_.fill(-1);
        link_xf_.fill(-1);
        mark_xf_.fill(-1);
    }

    // The XML of the next rows, one tuple of values per row; `styles` answers
    // for the workbook. It is held for the call only: the sheet holds this
    // object for its links, and the styles hold the sheet. `heights`, when
    // given: each row's height in points, None for the default.
    py::bytes write(const py::sequence& rows, const py::object& styles, const py::object& heights) {
        struct Held {
            py::handle& held;
            ~Held() { held = py::handle(); }
        } held{styles_ = styles};
        const auto count = static_cast<std::size_t>(py::len(rows));
        if (count > kRowLimit - row_) throw py::value_error("a sheet holds at most 1,048,576 rows");
        const bool sized = !heights.is_none();
        const py::sequence height_of = sized ? heights.cast<py::sequence>() : py::sequence();
        if (sized && static_cast<std::size_t>(py::len(height_of)) != count) {
            throw py::value_error("a height, or None, for each row");
        }
        out_.clear();
        std::size_t index = 0;
        for (py::handle item : rows) {
            const auto values = py::reinterpret_borrow<py::tuple>(item);
            if (!PyTuple_Check(values.ptr()) || values.size() != columns_.size()) {
                throw py::value_error("a row is a tuple of one value per column");
            }
            number_ = std::to_string(row_ + 1);
            out_ += "<row r=\""sv;
            out_ += number_;
            out_ += '"';
            if (sized) put_height(height_of[index]);
            ++index;
            out_ += '>';
            for (std::size_t col = 0; col < columns_.size(); ++col) cell(col, PyTuple_GET_ITEM(values.ptr(), col));
            out_ += "</row>"sv;
            ++row_;
        }
        return py::bytes(out_.data(), out_.size());
    }

    std::size_t next_row() const { return row_; }
    std::size_t links_held() const { return links_held_ + links_.size(); }
    std::size_t link_count() const { return links_.size(); }

    // The <hyperlinks> element, relationship ids from `first_id` on.
    py::str hyperlinks(std::size_t first_id) const {
        std::string out = "<hyperlinks>";
        std::size_t id = first_id;
        for (const Link& link : links_) {
            out += "<hyperlink ref=\""sv;
            put_column(out, link.col);
            out += std::to_string(link.row + 1);
            out += "\" r:id=\"rId"sv;
            out += std::to_string(id++);
            out += '"';
            if (!link.anchor.empty()) {
                out += " location=\""sv;
                put_xml_attribute(out, link.anchor);
                out += '"';
            }
            out += "/>"sv;
        }
        out += "</hyperlinks>"sv;
        return py::str(out);
    }

    // The <Relationship> elements of the links, ids from `first_id` on.
    py::str relationships(std::size_t first_id) const {
        std::string out;
        std::size_t id = first_id;
        for (const Link& link : links_) {
            out += "<Relationship Id=\"rId"sv;
            out += std::to_string(id++);
            out += "\" Type=\""sv;
            out += kLinkType;
            out += "\" Target=\""sv;
            put_xml_attribute(out, link.target);
            out += "\" TargetMode=\"External\"/>"sv;
        }
        return py::str(out);
    }

private:
    void cell(std::size_t col, py::handle value) {
        Column& column = columns_[col];
        switch (column.kind) {
            case Kind::Number: {
                if (column.xf < 0) column.xf = styles_.attr("number_style")(column.num_format).cast<int>();
                const double number = PyFloat_AsDouble(value.ptr());
                if (number == -1.0 && PyErr_Occurred()) throw py::error_already_set();
                number_cell(col, column.xf, number);
                return;
            }
            case Kind::Date: {
                bool found = false;
                const double serial = date_serial(value, found);
                if (!found) {
                    text_cell(col, value, false, false);
                    return;
                }
                if (column.xf < 0) column.xf = styles_.attr("number_style")(column.num_format).cast<int>();
                number_cell(col, column.xf, serial);
                return;
            }
            case Kind::Text:
                text_cell(col, value, false, column.wrap);
                return;
            case Kind::Link:
                link_cell(col, value, column.wrap);
                return;
            case Kind::Marked:
                marked_cell(col, value, column.wrap);
                return;
        }
    }

    void put_height(py::handle value) {
        if (value.is_none()) return;
        const double points = PyFloat_AsDouble(value.ptr());
        if (points == -1.0 && PyErr_Occurred()) throw py::error_already_set();
        if (!(points > 0.0 && points <= 409.0)) throw py::value_error("a row is more than 0 and at most 409 points high");
        out_ += " ht=\""sv;
        put_number(out_, points);
        out_ += "\" customHeight=\"1\""sv;
    }

    void start_cell(std::size_t col, int xf) {
        out_ += prefixes_[col];
        out_ += number_;
        out_ += "\" s=\""sv;
        char digits[16];
        const auto [end, error] = std::to_chars(digits, digits + sizeof digits, xf);
        out_.append(digits, error == std::errc() ? end : digits);
        out_ += '"';
    }

    void number_cell(std::size_t col, int xf, double value) {
        start_cell(col, xf);
        if (std::isfinite(value)) {
            out_ += "><v>"sv;
            put_number(out_, value);
            out_ += "</v></c>"sv;
        } else {  // no number to show: an empty cell
            out_ += "/>"sv;
        }
    }

    // The Excel serial of a "YYYYMMDD" record date; `found` false when the text is not one.
    double date_serial(py::handle value, bool& found) {
        const Text text(value);
        found = false;
        if (text.size() != 8) return 0.0;
        int digits[8];
        for (std::size_t i = 0; i < 8; ++i) {
            const Py_UCS4 c = text[i];
            if (c >= 0x80) {  // digits of another script: Python reads them
                const py::object serial = styles_.attr("date_serial")(value);
                found = !serial.is_none();
                return found ? serial.cast<double>() : 0.0;
            }
            if (c < '0' || c > '9') return 0.0;
            digits[i] = static_cast<int>(c - '0');
        }
        const int year = digits[0] * 1000 + digits[1] * 100 + digits[2] * 10 + digits[3];
        const int month = digits[4] * 10 + digits[5];
        const int day = digits[6] * 10 + digits[7];
        if (!valid_date(year, month, day) || year < 1900) return 0.0;  // before 1900 Excel shows #### : text
        found = true;
        // Days since Excel's epoch; the 1900 system counts 1900-02-29, which never was.
        if (date_1904_) return static_cast<double>(days_before(year, month, day) - days_before(1904, 1, 1));
        const long serial = days_before(year, month, day) - days_before(1899, 12, 31);
        return static_cast<double>(serial >= 60 ? serial + 1 : serial);
    }

    int text_style(bool cjk, bool bold, bool wrap) {
        int& xf = text_xf_[cjk * 4 + bold * 2 + wrap];
        if (xf < 0) xf = styles_.attr("text_style")(cjk, bold, wrap).cast<int>();
        return xf;
    }

    // The style of a text that is one marked run, in the Chinese (cjk) or Latin font.
    int mark_style(bool cjk, bool wrap) {
        int& xf = mark_xf_[cjk * 2 + wrap];
        if (xf < 0) xf = styles_.attr("mark_style")(cjk, wrap).cast<int>();
        return xf;
    }

    // <r> and the run properties of the Chinese (cjk) or Latin font, with Excel's escapes.
    const std::string& run_start(bool cjk, bool bold, bool mark) {
        std::string& start = run_starts_[cjk * 4 + bold * 2 + mark];
        if (start.empty()) put_excel_escaped(start, utf8(styles_.attr("run_start")(cjk, bold, mark)));
        return start;
    }

    bool is_space(Py_UCS4 c) const { return spaces_.has(c); }

    void text_cell(std::size_t col, py::handle value, bool bold, bool wrap) {
        if (plain_text_cell(col, value, bold, wrap)) return;
        clean(value);
        runs_.clear();
        add_runs(0, clean_.size(), false);
        put_runs(col, bold, wrap);
    }

    // (text, edges): the text cleaned already, its marked stretches between
    // each pair of edges.
    void marked_cell(std::size_t col, py::handle value, bool wrap) {
        const auto pair = py::reinterpret_borrow<py::tuple>(value);
        if (!PyTuple_Check(pair.ptr()) || pair.size() != 2) throw py::value_error("a marked cell is (text, edges)");
        const auto edges = py::reinterpret_borrow<py::tuple>(pair[1]);
        if (!PyTuple_Check(edges.ptr()) || edges.size() % 2 != 0) {
            throw py::value_error("a marked cell's edges are a tuple of (start, end) pairs");
        }
        if (edges.size() == 0) {
            text_cell(col, pair[0], false, wrap);
            return;
        }
        clean(pair[0]);
        if (clean_.size() != Text(pair[0]).size()) throw py::value_error("a marked text is given cleaned");
        runs_.clear();
        std::size_t from = 0;
        for (std::size_t i = 0; i < edges.size(); ++i) {
            const Py_ssize_t at = PyLong_AsSsize_t(edges[i].ptr());
            if (at == -1 && PyErr_Occurred()) throw py::error_already_set();
            const auto edge = static_cast<std::size_t>(at);
            if (at < 0 || edge < from || edge > clean_.size()) {
                throw py::value_error("a marked cell's edges run in order within its text");
            }
            add_runs(from, edge, i % 2 == 1);
            from = edge;
        }
        add_runs(from, clean_.size(), false);
        put_runs(col, false, wrap);
    }

    // The CJK and other runs of clean_[from, to).
    void add_runs(std::size_t from, std::size_t to, bool mark) {
        for (std::size_t i = from; i < to;) {
            const bool cjk = cjk_.has(clean_[i]);
            std::size_t end = i + 1;
            while (end < to && cjk_.has(clean_[end]) == cjk) ++end;
            runs_.push_back({i, end, cjk, mark});
            i = end;
        }
    }

    // The cell of runs_ over clean_: empty, a plain string in its style or a rich string.
    void put_runs(std::size_t col, bool bold, bool wrap) {
        const std::u32string& text = clean_;
        const bool single = runs_.size() == 1;
        const int xf = single && runs_[0].mark ? mark_style(runs_[0].cjk, wrap)
                                               : text_style(single && runs_[0].cjk, bold, wrap);
        start_cell(col, xf);
        if (runs_.empty()) {
            out_ += "/>"sv;
            return;
        }
        out_ += " t=\"inlineStr\"><is>"sv;
        if (runs_.size() == 1) {
            // A plain string: Excel's escapes first, so a leading or trailing
            // control character no longer counts as white space.
            raw_.clear();
            put_utf8(raw_, text, 0, text.size());
            escaped_.clear();
            put_excel_escaped(escaped_, raw_);
            const auto kept = [this](Py_UCS4 c) { return is_space(c) && !(c < 0x80 && is_excel_control(static_cast<unsigned char>(c))); };
            put_t_tag(kept(text.front()) || kept(text.back()));
            put_xml_text(out_, escaped_);
            out_ += "</t></is></c>"sv;
            return;
        }
        for (const Run& run : runs_) {
            out_ += run_start(run.cjk, bold, run.mark);
            put_t_tag(is_space(text[run.start]) || is_space(text[run.end - 1]));
            raw_.clear();
            put_utf8(raw_, text, run.start, run.end);
            escaped_.clear();
            put_xml_text(escaped_, raw_);
            raw_.clear();
            put_excel_escaped(raw_, escaped_);
            put_excel_escaped(out_, raw_);
            out_ += "</t></r>"sv;
        }
        out_ += "</is></c>"sv;
    }

    // A text that needs no cleaning, cut or escape (most of them), written
    // straight from the str; false, with nothing written, for any other.
    bool plain_text_cell(std::size_t col, py::handle value, bool bold, bool wrap) {
        const Text text(value);
        const std::size_t size = text.size();
        if (size > kCellLimit / 2) return false;  // might need a cut
        std::size_t runs = 0;
        bool cjk = false;
        for (std::size_t i = 0; i < size; ++i) {
            const Py_UCS4 c = text[i];
            if (c < 0x80) {
                if (c == '&' || c == '<' || c == '>' || c == '_' || (c < 0x20 && c != '\t' && c != '\n')) return false;
            } else if (!xml_.has(c)) {
                return false;
            }
            const bool is_cjk = cjk_.has(c);
            if (i == 0 || is_cjk != cjk) ++runs;
            cjk = is_cjk;
        }
        const bool first_cjk = size > 0 && cjk_.has(text[0]);
        start_cell(col, text_style(runs == 1 && first_cjk, bold, wrap));
        if (runs == 0) {
            out_ += "/>"sv;
            return true;
        }
        out_ += " t=\"inlineStr\"><is>"sv;
        if (runs == 1) {
            put_t_tag(is_space(text[0]) || is_space(text[size - 1]));
            text.put_utf8(out_, 0, size);
            out_ += "</t></is></c>"sv;
            return true;
        }
        const std::string& chinese = run_start(true, bold, false);
        const std::string& latin = run_start(false, bold, false);
        for (std::size_t start = 0; start < size;) {
            const bool run_cjk = cjk_.has(text[start]);
            std::size_t end = start + 1;
            while (end < size && cjk_.has(text[end]) == run_cjk) ++end;
            out_ += run_cjk ? chinese : latin;
            put_t_tag(is_space(text[start]) || is_space(text[end - 1]));
            text.put_utf8(out_, start, end);
            out_ += "</t></r>"sv;
            start = end;
        }
        out_ += "</is></c>"sv;
        return true;
    }

    void put_t_tag(bool preserve) { out_ += preserve ? "<t xml:space=\"preserve\">"sv : "<t>"sv; }

    // The text without characters XML cannot carry, cut to Excel's limit.
    void clean(py::handle value) {
        const Text text(value);
        clean_.clear();
        std::size_t units = 0;
        for (std::size_t i = 0; i < text.size(); ++i) {
            const Py_UCS4 c = text[i];
            if (!xml_.has(c)) continue;
            clean_ += c;
            units += c >= 0x10000 ? 2 : 1;
        }
        if (units <= kCellLimit) return;
        std::size_t kept = 0;
        units = 0;
        while (kept < clean_.size() && units + (clean_[kept] >= 0x10000 ? 2 : 1) <= kCellLimit - 1) {
            units += clean_[kept] >= 0x10000 ? 2 : 1;
            ++kept;
        }
        clean_.resize(kept);
        clean_ += kEllipsis;
    }

    void link_cell(std::size_t col, py::handle value, bool wrap) {
        const auto pair = py::reinterpret_borrow<py::tuple>(value);
        if (!PyTuple_Check(pair.ptr()) || pair.size() != 2) throw py::value_error("a link cell is (text, url or None)");
        if (pair[1].is_none() || links_held() >= link_limit_) {
            text_cell(col, pair[0], false, wrap);
            return;
        }
        Link link{row_, col, {}, {}};
        std::string url = utf8(pair[1]);
        if (url.find("://") == std::string::npos || url.rfind("mailto:", 0) == 0 || url.rfind("internal:", 0) == 0 ||
            url.rfind("file://", 0) == 0 || url.rfind("external:", 0) == 0) {
            throw py::value_error("連結須為網址（含 ://）：" + url);
        }
        if (const std::size_t hash = url.find('#'); hash != std::string::npos) {
            link.anchor = url.substr(hash + 1);
            url.resize(hash);
        }
        if (utf16_length(url) > kUrlLimit) throw py::value_error("URL exceeds Excel's maximum length.");
        if (utf16_length(link.anchor) > kUrlLimit) throw py::value_error("Anchor segment or url exceeds Excel's maximum length.");
        link.target = escaped_url(url);
        int& xf = link_xf_[wrap];
        if (xf < 0) xf = styles_.attr("link_style")(wrap).cast<int>();
        start_cell(col, xf);
        escaped_.clear();
        put_excel_escaped(escaped_, utf8(pair[0]));
        out_ += " t=\"inlineStr\"><is><t>"sv;
        put_xml_text(out_, escaped_);
        out_ += "</t></is></c>"sv;
        links_.push_back(std::move(link));
    }

    struct Run {
        std::size_t start;
        std::size_t end;
        bool cjk;
        bool mark;
    };

    py::handle styles_;
    std::vector<Column> columns_;
    std::vector<std::string> prefixes_;  // "<c r=\"" and each column's letters
    CodeSet xml_;
    CodeSet cjk_;
    CodeSet spaces_;
    std::size_t row_;
    std::size_t links_held_;
    std::size_t link_limit_;
    bool date_1904_;
    std::array<int, 8> text_xf_{};
    std::array<int, 2> link_xf_{};
    std::array<int, 4> mark_xf_{};
    std::array<std::string, 8> run_starts_;
    std::vector<Link> links_;
    // Buffers kept between cells.
    std::string out_, number_, raw_, escaped_;
    std::u32string clean_;
    std::vector<Run> runs_;
};

}  // namespace

PYBIND11_MODULE(_xlsx_rows, module) {
    module.doc() = "Rows of a long worksheet written as SpreadsheetML (see varnel_host.xlsx_rows).";
    py::class_<SheetRows>(module, "SheetRows")
        .def(py::init<const py::list&, const py::iterable&, const py::iterable&, const py::iterable&, std::size_t,
                      std::size_t, std::size_t, bool>(),
             py::arg("columns"), py::arg("xml_ranges"), py::arg("cjk_ranges"), py::arg("spaces"), py::arg("first_row"),
             py::arg("links_held"), py::arg("link_limit"), py::arg("date_1904"))
        .def("write", &SheetRows::write, py::arg("rows"), py::arg("styles"), py::arg("heights") = py::none())
        .def_property_readonly("next_row", &SheetRows::next_row)
        .def_property_readonly("links_held", &SheetRows::links_held)
        .def_property_readonly("link_count", &SheetRows::link_count)
        .def("hyperlinks", &SheetRows::hyperlinks, py::arg("first_id"))
        .def("relationships", &SheetRows::relationships, py::arg("first_id"));
}
