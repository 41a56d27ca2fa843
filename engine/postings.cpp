// The posting rows of an import chunk for the PostgreSQL store: one row per
// distinct lexeme ("<column>:<token>", the token cut to its first max_chars
// code points) with the ids of the records holding it and how often each
// holds it, written as the text payload of
// COPY postings (lexeme, batch, ids, tfs) FROM STDIN.
// The texts are copied out of the Python objects first, so that the counting
// runs without the GIL; the tokens are looked up in an open-addressing table
// per column, hashed where they lie in the copied texts, and the postings are
// written in arrays, not in dictionaries and lists (about 150 µs a record in
// Python).

#include <pybind11/pybind11.h>

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace {

// The input as copied out of Python: every text's UTF-8 bytes in one buffer.
struct Input {
    std::vector<std::string> prefixes;  // "<column>:" of each column
    std::vector<std::int32_t> ids;      // one a record
    std::vector<std::size_t> ends;      // end of each (record, column) text in `bytes`
    std::string bytes;                  // followed by 8 bytes more, for reading words
};

constexpr std::uint32_t none = std::numeric_limits<std::uint32_t>::max();

// A record's count of a lexeme, kept in the order the records come.
struct Posting {
    std::uint32_t lexeme;
    std::int32_t id;
    std::uint32_t tf;
};

struct Lexeme {
    std::uint32_t offset;    // of its bytes in Counter::names
    std::uint32_t size;
    std::uint32_t tf;        // in the record being counted
    std::uint32_t postings;  // how many records hold it
};

const bool little_endian = [] {
    const std::uint16_t one = 1;
    unsigned char first = 0;
    std::memcpy(&first, &one, 1);
    return first == 1;
}();

// A hash of `size` bytes that may read up to 7 bytes past them.
std::uint64_t hash_of(const char* data, std::size_t size, std::uint64_t seed) {
    constexpr std::uint64_t k = 0x9E3779B97F4A7C15ull;
    std::uint64_t h = (seed + static_cast<std::uint64_t>(size)) * k;
    std::uint64_t word = 0;
    for (; size >= 8; data += 8, size -= 8) {
        std::memcpy(&word, data, 8);
        h = (h ^ word) * k;
        h ^= h >> 32;
    }
    if (size != 0) {
        std::memcpy(&word, data, 8);
        // Only the first `size` bytes of the word.
        word = little_endian ? word & (~std::uint64_t{0} >> (64 - 8 * size)) : word >> (64 - 8 * size);
        h = (h ^ word) * k;
    }
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    return h ^ (h >> 32);
}

// memcmp(a, b, size) == 0 without a call, for the few bytes of a token.
bool same_bytes(const char* a, const char* b, std::size_t size) {
    std::uint64_t x = 0;
    std::uint64_t y = 0;
    for (; size >= 8; a += 8, b += 8, size -= 8) {
        std::memcpy(&x, a, 8);
        std::memcpy(&y, b, 8);
        if (x != y) {
            return false;
        }
    }
    for (std::size_t i = 0; i < size; ++i) {
        if (a[i] != b[i]) {
            return false;
        }
    }
    return true;
}

// The tokens of one column (or of all, as whole lexemes), each with its lexeme.
class Table {
public:
    // The lexeme of the token `size` bytes at `text` (readable 8 bytes past),
    // `prefix` followed by the token, added to `lexemes` when new.
    std::uint32_t find(const char* text, std::size_t size, const std::string& prefix, std::uint64_t seed,
                       std::vector<Lexeme>& lexemes, std::string& names) {
        if ((used + 1) * 2 > slots.size()) {
            grow();
        }
        const auto tag = static_cast<std::uint32_t>(hash_of(text, size, seed));
        const std::size_t mask = slots.size() - 1;
        const std::size_t whole = prefix.size() + size;
        for (std::size_t at = tag & mask;; at = (at + 1) & mask) {
            Slot& slot = slots[at];
            if (slot.index == none) {
                if (names.size() + whole >= none || lexemes.size() >= none) {
                    throw std::length_error("an import chunk with more than 4 GB of lexemes");
                }
                slot = {tag, static_cast<std::uint32_t>(lexemes.size())};
                lexemes.push_back({static_cast<std::uint32_t>(names.size()), static_cast<std::uint32_t>(whole), 0, 0});
                names += prefix;
                names.append(text, size);
                ++used;
                return slot.index;
            }
            if (slot.tag == tag) {
                const Lexeme& lexeme = lexemes[slot.index];
                if (lexeme.size == whole && same_bytes(names.data() + lexeme.offset + prefix.size(), text, size)) {
                    return slot.index;
                }
            }
        }
    }

private:
    struct Slot {
        std::uint32_t tag;    // the low bits of the hash, which also place the slot
        std::uint32_t index;  // into the lexemes, or none when free
    };

    void grow() {
        std::vector<Slot> old(std::max<std::size_t>(slots.size() * 2, 256), Slot{0, none});
        old.swap(slots);
        const std::size_t mask = slots.size() - 1;
        for (const Slot& slot : old) {
            if (slot.index != none) {
                std::size_t at = slot.tag & mask;
                while (slots[at].index != none) {
                    at = (at + 1) & mask;
                }
                slots[at] = slot;
            }
        }
    }

    std::vector<Slot> slots;
    std::size_t used = 0;
};

// The size in bytes of the first `chars` code points of a UTF-8 token.
std::size_t cut(const char* token, std::size_t size, std::size_t chars) {
    if (size <= chars) {
        return size;  // no more code points than bytes
    }
    std::size_t seen = 0;
    for (std::size_t i = 0; i < size; ++i) {
        if ((static_cast<unsigned char>(token[i]) & 0xC0) != 0x80 && seen++ == chars) {
            return i;
        }
    }
    return size;
}

char* put_number(char* out, std::int64_t number) {
    return std::to_chars(out, out + 20, number).ptr;
}

// The lexeme as a field of COPY's text format.
char* put_escaped(char* out, std::string_view text) {
    for (const char c : text) {
        switch (c) {
            case '\\': *out++ = '\\'; *out++ = '\\'; break;
            case '\t': *out++ = '\\'; *out++ = 't'; break;
            case '\n': *out++ = '\\'; *out++ = 'n'; break;
            case '\r': *out++ = '\\'; *out++ = 'r'; break;
            default: *out++ = c;
        }
    }
    return out;
}

// The columns grouped by their prefix, each group with its own table. When
// one prefix could run into a token (a name holding ':'), the split of a
// lexeme is not unique: then one table holds the whole lexemes.
struct Columns {
    explicit Columns(const std::vector<std::string>& prefixes) {
        for (const std::string& prefix : prefixes) {
            whole = whole || prefix.find(':') + 1 != prefix.size();
        }
        for (const std::string& prefix : prefixes) {
            const std::string own = whole ? std::string() : prefix;
            const auto same = std::find(this->prefixes.begin(), this->prefixes.end(), own);
            group.push_back(static_cast<std::size_t>(same - this->prefixes.begin()));
            if (same == this->prefixes.end()) {
                this->prefixes.push_back(own);
            }
        }
        tables.resize(this->prefixes.size());
    }

    bool whole = false;
    std::vector<std::size_t> group;  // of each column
    std::vector<std::string> prefixes;  // of each group
    std::vector<Table> tables;          // of each group
};

struct Rows {
    std::unique_ptr<char[]> bytes;
    std::size_t size = 0;
};

Rows rows_of(const Input& input, std::int64_t batch, std::size_t max_chars) {
    Columns columns(input.prefixes);
    const std::size_t width = input.prefixes.size();
    std::vector<Lexeme> lexemes;
    std::string names;                   // the lexemes' bytes one after another
    std::vector<Posting> postings;
    std::vector<std::uint32_t> held;     // the lexemes of the record being counted
    std::string whole;                   // a whole lexeme, when the table holds them
    std::size_t start = 0;
    for (std::size_t r = 0; r < input.ids.size(); ++r) {
        for (std::size_t c = 0; c < width; ++c) {
            const char* at = input.bytes.data() + start;
            const char* const end = input.bytes.data() + input.ends[r * width + c];
            start = input.ends[r * width + c];
            const std::size_t g = columns.group[c];
            Table& table = columns.tables[g];
            const std::string& prefix = columns.prefixes[g];
            while (at < end) {
                if (*at == ' ') {
                    ++at;
                    continue;
                }
                const void* space = std::memchr(at, ' ', static_cast<std::size_t>(end - at));
                const char* const stop = space ? static_cast<const char*>(space) : end;
                std::size_t size = cut(at, static_cast<std::size_t>(stop - at), max_chars);
                const char* token = at;
                if (columns.whole) {
                    whole.assign(input.prefixes[c]).append(at, size).append(8, '\0');
                    token = whole.data();
                    size = whole.size() - 8;
                }
                const std::uint32_t index = table.find(token, size, prefix, g, lexemes, names);
                if (lexemes[index].tf++ == 0) {
                    held.push_back(index);
                }
                at = stop;
            }
        }
        if (postings.size() + held.size() >= none) {
            throw std::length_error("an import chunk with more than 4 billion postings");
        }
        for (const std::uint32_t index : held) {
            postings.push_back({index, input.ids[r], lexemes[index].tf});
            lexemes[index].tf = 0;
            ++lexemes[index].postings;
        }
        held.clear();
    }

    std::vector<std::string_view> views;
    views.reserve(lexemes.size());
    for (const Lexeme& l : lexemes) {
        views.emplace_back(names.data() + l.offset, l.size);
    }
    std::vector<std::uint32_t> order(views.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = static_cast<std::uint32_t>(i);
    }
    // string_view compares as unsigned char: the byte order of PostgreSQL's "C" collation.
    std::sort(order.begin(), order.end(), [&views](std::uint32_t a, std::uint32_t b) { return views[a] < views[b]; });

    // Each lexeme's postings made contiguous, in the lexemes' order, the records' order kept.
    std::vector<std::size_t> first(lexemes.size());
    std::size_t placed = 0;
    for (const std::uint32_t i : order) {
        first[i] = placed;
        placed += lexemes[i].postings;
    }
    std::vector<std::int32_t> ids(placed);
    std::vector<std::uint32_t> tfs(placed);
    for (const Posting& p : postings) {
        const std::size_t at = first[p.lexeme]++;
        ids[at] = p.id;
        tfs[at] = p.tf;
    }

    char batch_field[24];
    const std::size_t batch_size = static_cast<std::size_t>(put_number(batch_field, batch) - batch_field);
    // At most: each name escaped twice its size, 6 separators and the batch a
    // line, 12 bytes an id and 11 a count.
    Rows out;
    out.bytes.reset(new char[2 * names.size() + (6 + batch_size) * order.size() + 23 * placed]);
    char* put = out.bytes.get();
    std::size_t from = 0;
    for (const std::uint32_t i : order) {
        const std::size_t to = from + lexemes[i].postings;
        put = put_escaped(put, views[i]);
        *put++ = '\t';
        put = std::copy(batch_field, batch_field + batch_size, put);
        *put++ = '\t';
        for (std::size_t p = from; p < to; ++p) {
            *put++ = p == from ? '{' : ',';
            put = put_number(put, ids[p]);
        }
        *put++ = '}';
        *put++ = '\t';
        for (std::size_t p = from; p < to; ++p) {
            *put++ = p == from ? '{' : ',';
            put = put_number(put, tfs[p]);
        }
        *put++ = '}';
        *put++ = '\n';
        from = to;
    }
    out.size = static_cast<std::size_t>(put - out.bytes.get());
    return out;
}

// The items of a list or tuple (or any sequence), refusing a text in its place.
py::object items_of(const py::handle& sequence, const char* what) {
    if (PyUnicode_Check(sequence.ptr()) || PyBytes_Check(sequence.ptr())) {
        throw py::type_error(std::string(what) + " is a sequence, not a text");
    }
    PyObject* fast = PySequence_Fast(sequence.ptr(), what);
    if (fast == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(fast);
}

// The UTF-8 bytes of a str.
std::string_view utf8_of(PyObject* text, const char* what) {
    if (!PyUnicode_Check(text)) {
        throw py::type_error(std::string(what) + " is not a str");
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) {
        throw py::error_already_set();  // a lone surrogate
    }
    return {data, static_cast<std::size_t>(size)};
}

py::bytes copy_rows(std::int64_t batch, const py::sequence& columns, const py::sequence& records, Py_ssize_t max_chars) {
    if (max_chars < 1) {
        throw py::value_error("max_chars is at least 1");
    }
    Input input;
    const py::object names = items_of(columns, "columns");
    const Py_ssize_t width = PySequence_Fast_GET_SIZE(names.ptr());
    for (Py_ssize_t c = 0; c < width; ++c) {
        input.prefixes.emplace_back(utf8_of(PySequence_Fast_GET_ITEM(names.ptr(), c), "a column name"));
        input.prefixes.back() += ':';
    }
    const py::object rows = items_of(records, "records");
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(rows.ptr());
    input.ids.reserve(static_cast<std::size_t>(count));
    input.ends.reserve(static_cast<std::size_t>(count * width));
    for (Py_ssize_t r = 0; r < count; ++r) {
        const py::object pair = items_of(PySequence_Fast_GET_ITEM(rows.ptr(), r), "a record");
        if (PySequence_Fast_GET_SIZE(pair.ptr()) != 2) {
            throw py::value_error("a record is a pair (id, texts)");
        }
        PyObject* id = PySequence_Fast_GET_ITEM(pair.ptr(), 0);
        if (!PyLong_Check(id) || PyBool_Check(id)) {
            throw py::type_error("a record's id is not an int");
        }
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(id, &overflow);
        if (overflow != 0 || value < std::numeric_limits<std::int32_t>::min() ||
            value > std::numeric_limits<std::int32_t>::max()) {
            throw py::value_error("a record's id " + py::str(id).cast<std::string>() +
                                  " does not fit a 32-bit signed integer");
        }
        if (!input.ids.empty() && value <= input.ids.back()) {
            throw py::value_error("the records' ids are not strictly ascending");
        }
        input.ids.push_back(static_cast<std::int32_t>(value));
        const py::object texts = items_of(PySequence_Fast_GET_ITEM(pair.ptr(), 1), "a record's texts");
        if (PySequence_Fast_GET_SIZE(texts.ptr()) != width) {
            throw py::value_error("a record's texts are not one a column");
        }
        for (Py_ssize_t c = 0; c < width; ++c) {
            input.bytes += utf8_of(PySequence_Fast_GET_ITEM(texts.ptr(), c), "a record's text");
            input.ends.push_back(input.bytes.size());
        }
    }
    input.bytes.append(8, '\0');
    Rows out;
    {
        py::gil_scoped_release released;
        out = rows_of(input, batch, static_cast<std::size_t>(max_chars));
    }
    return py::bytes(out.bytes.get(), out.size);
}

}  // namespace

PYBIND11_MODULE(_postings, module) {
    module.doc() = "The posting rows of an import chunk for the PostgreSQL store, as COPY text.";
    module.def("copy_rows", &copy_rows, py::arg("batch"), py::arg("columns"), py::arg("records"),
               py::arg("max_chars"),
               "The text payload of COPY postings (lexeme, batch, ids, tfs) FROM STDIN: one line per distinct "
               "lexeme '<column>:<token>' (the token cut to max_chars code points) in byte order, with the ids "
               "of the records holding it and its count in each. records: (id, texts) pairs, ids ascending, "
               "texts one a column, each of tokens separated by spaces.");
}
