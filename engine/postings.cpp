// The posting rows of an import chunk for the PostgreSQL store: one row per
// distinct lexeme ("<column>:<token>", the token cut to its first max_chars
// code points) with the ids of the records holding it and how often each
// holds it, written as the text payload of
// COPY postings (lexeme, batch, ids, tfs) FROM STDIN.
// The texts are copied out of the Python objects first, so that the counting
// runs without the GIL; the lexemes are kept in an open-addressing table and
// each lexeme's postings in a chain through one array, not in dictionaries
// and lists (about 150 µs a record in Python).

#include <pybind11/pybind11.h>

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
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
    std::string bytes;
};

constexpr std::uint32_t none = std::numeric_limits<std::uint32_t>::max();

// A record's count of a lexeme, kept in the order the records come.
struct Posting {
    std::uint32_t lexeme;
    std::int32_t id;
    std::uint32_t tf;
};

struct Lexeme {
    std::size_t offset;  // of its bytes in Counter::names
    std::uint32_t size;
    std::uint32_t tf;         // in the record being counted
    std::uint32_t postings;   // how many records hold it
};

std::uint64_t hash_of(const char* data, std::size_t size) {
    constexpr std::uint64_t k = 0x9E3779B97F4A7C15ull;
    std::uint64_t h = static_cast<std::uint64_t>(size) * k;
    std::uint64_t word = 0;
    for (; size >= 8; data += 8, size -= 8) {
        std::memcpy(&word, data, 8);
        h = (h ^ word) * k;
        h ^= h >> 32;
    }
    word = 0;
    std::memcpy(&word, data, size);  // the tail; the order of bytes does not matter to a hash
    h = (h ^ word) * k;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    return h ^ (h >> 32);
}

// The lexemes met so far, and the postings of the records counted so far. A
// record's counts are kept in its lexemes until end_record writes them, so
// that counting touches no posting already written.
class Counter {
public:
    // Counts one occurrence of the lexeme `text` in the record being counted.
    void add(const char* text, std::size_t size) {
        if ((lexemes.size() + 1) * 2 > slots.size()) {
            grow();
        }
        const std::uint64_t h = hash_of(text, size);
        const std::uint32_t tag = static_cast<std::uint32_t>(h >> 32);
        const std::size_t mask = slots.size() - 1;
        for (std::size_t at = static_cast<std::size_t>(h) & mask;; at = (at + 1) & mask) {
            Slot& slot = slots[at];
            if (slot.index == none) {
                slot = {tag, static_cast<std::uint32_t>(lexemes.size())};
                lexemes.push_back({names.size(), static_cast<std::uint32_t>(size), 0, 0});
                names.append(text, size);
                count(slot.index);
                return;
            }
            if (slot.tag == tag) {
                const Lexeme& lexeme = lexemes[slot.index];
                if (lexeme.size == size && std::memcmp(names.data() + lexeme.offset, text, size) == 0) {
                    count(slot.index);
                    return;
                }
            }
        }
    }

    // Writes the postings of the record counted since the last call.
    void end_record(std::int32_t id) {
        if (postings.size() + held.size() >= none) {
            throw std::length_error("an import chunk with more than 4 billion postings");
        }
        for (const std::uint32_t index : held) {
            Lexeme& lexeme = lexemes[index];
            postings.push_back({index, id, lexeme.tf});
            lexeme.tf = 0;
            ++lexeme.postings;
        }
        held.clear();
    }

    std::vector<Lexeme> lexemes;
    std::vector<Posting> postings;
    std::string names;  // the lexemes' bytes one after another

private:
    struct Slot {
        std::uint32_t tag;
        std::uint32_t index;  // into lexemes, or none when free
    };

    void count(std::uint32_t index) {
        if (lexemes[index].tf++ == 0) {
            held.push_back(index);
        }
    }

    void grow() {
        std::vector<Slot> old(std::max<std::size_t>(slots.size() * 2, 1024), Slot{0, none});
        old.swap(slots);
        const std::size_t mask = slots.size() - 1;
        for (const Slot& slot : old) {
            if (slot.index == none) {
                continue;
            }
            const Lexeme& lexeme = lexemes[slot.index];
            const std::uint64_t h = hash_of(names.data() + lexeme.offset, lexeme.size);
            std::size_t at = static_cast<std::size_t>(h) & mask;
            while (slots[at].index != none) {
                at = (at + 1) & mask;
            }
            slots[at] = slot;
        }
    }

    std::vector<Slot> slots;
    std::vector<std::uint32_t> held;  // the lexemes of the record being counted
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

void append_number(std::string& out, std::int64_t number) {
    char digits[24];
    const auto written = std::to_chars(digits, digits + sizeof digits, number);
    out.append(digits, written.ptr);
}

// The lexeme as a field of COPY's text format.
void append_escaped(std::string& out, std::string_view text) {
    for (const char c : text) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            default: out += c;
        }
    }
}

std::string rows_of(const Input& input, std::int64_t batch, std::size_t max_chars) {
    Counter counter;
    const std::size_t columns = input.prefixes.size();
    std::string lexeme;  // the column's prefix, then the token
    std::size_t start = 0;
    for (std::size_t r = 0; r < input.ids.size(); ++r) {
        for (std::size_t c = 0; c < columns; ++c) {
            const char* at = input.bytes.data() + start;
            const char* const end = input.bytes.data() + input.ends[r * columns + c];
            start = input.ends[r * columns + c];
            const std::size_t prefix = input.prefixes[c].size();
            lexeme.assign(input.prefixes[c]);
            while (at < end) {
                if (*at == ' ') {
                    ++at;
                    continue;
                }
                const void* space = std::memchr(at, ' ', static_cast<std::size_t>(end - at));
                const char* const stop = space ? static_cast<const char*>(space) : end;
                const std::size_t size = cut(at, static_cast<std::size_t>(stop - at), max_chars);
                if (lexeme.size() < prefix + size) {
                    lexeme.resize(prefix + size);
                }
                std::memcpy(&lexeme[prefix], at, size);
                counter.add(lexeme.data(), prefix + size);
                at = stop;
            }
        }
        counter.end_record(input.ids[r]);
    }

    const std::vector<Lexeme>& lexemes = counter.lexemes;
    std::vector<std::string_view> names;
    names.reserve(lexemes.size());
    for (const Lexeme& l : lexemes) {
        names.emplace_back(counter.names.data() + l.offset, l.size);
    }
    std::vector<std::uint32_t> order(names.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = static_cast<std::uint32_t>(i);
    }
    // string_view compares as unsigned char: the byte order of PostgreSQL's "C" collation.
    std::sort(order.begin(), order.end(), [&names](std::uint32_t a, std::uint32_t b) { return names[a] < names[b]; });

    // Each lexeme's postings made contiguous, in the lexemes' order, the records' order kept.
    std::vector<std::size_t> first(lexemes.size());
    std::size_t placed = 0;
    for (const std::uint32_t i : order) {
        first[i] = placed;
        placed += lexemes[i].postings;
    }
    std::vector<std::int32_t> ids(placed);
    std::vector<std::uint32_t> tfs(placed);
    for (const Posting& p : counter.postings) {
        const std::size_t at = first[p.lexeme]++;
        ids[at] = p.id;
        tfs[at] = p.tf;
    }

    std::string batch_field;
    append_number(batch_field, batch);
    std::string out;
    out.reserve(counter.names.size() + placed * 12 + order.size() * 16);
    std::size_t from = 0;
    for (const std::uint32_t i : order) {
        const std::size_t to = from + lexemes[i].postings;
        append_escaped(out, names[i]);
        out += '\t';
        out += batch_field;
        out += "\t{";
        for (std::size_t p = from; p < to; ++p) {
            append_number(out, ids[p]);
            out += ',';
        }
        out.back() = '}';
        out += "\t{";
        for (std::size_t p = from; p < to; ++p) {
            append_number(out, tfs[p]);
            out += ',';
        }
        out.back() = '}';
        out += '\n';
        from = to;
    }
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

py::bytes copy_rows(std::int64_t batch, const py::handle& columns, const py::handle& records, Py_ssize_t max_chars) {
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
    std::string out;
    {
        py::gil_scoped_release released;
        out = rows_of(input, batch, static_cast<std::size_t>(max_chars));
    }
    return py::bytes(out);
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
