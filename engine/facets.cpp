// Counting the charts' keys over a search's hits (varnel_host/facets.py,
// FacetIndex.facets): for each column of keys indexed by record id, how many
// of the hits hold each key. The hit ids come as one text of decimal ids
// separated by spaces (SQLite's group_concat), read here without making a
// Python int of each, and the counts are kept in arrays indexed by key, not
// in dictionaries: at 600,000 hits the Python counting took a third of a
// second. A column whose keys run far past its length (keys are small
// integers, but nothing here relies on it) is counted by sorting the hits'
// keys instead, so memory follows the hits, never the largest key. A column
// may be any one-dimensional buffer of 32-bit integers, strided or not.

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace {

// Keys counted in an array indexed by key while the largest lies below the
// column's length plus this; past it, by sorting the hits' keys.
constexpr std::size_t kDenseBeyondLength = 1 << 16;

struct Column {
    py::buffer_info info;  // holds the buffer while it is read
    const char* start = nullptr;
    Py_ssize_t stride = 0;  // bytes from one key to the next (negative when reversed)
    bool dense = true;
    std::vector<std::int64_t> counts;  // dense: per key
    std::vector<std::int32_t> held;    // sparse: the key of each hit

    std::int32_t key(Py_ssize_t id) const {
        std::int32_t value;
        std::memcpy(&value, start + stride * id, sizeof value);
        return value;
    }
    void add(Py_ssize_t id) {
        const std::int32_t value = key(id);
        if (dense) {
            ++counts[static_cast<std::size_t>(value)];
        } else {
            held.push_back(value);
        }
    }
};

Column column_of(const py::handle& item, Py_ssize_t& size) {
    Column column;
    column.info = py::reinterpret_borrow<py::buffer>(item).request();
    if (column.info.ndim != 1 || column.info.itemsize != 4 ||
        column.info.format != py::format_descriptor<std::int32_t>::format()) {
        throw py::type_error("a column of keys is a one-dimensional array of 32-bit integers (array('i'))");
    }
    if (size < 0) {
        size = column.info.shape[0];
    } else if (column.info.shape[0] != size) {
        throw py::value_error("the columns of keys differ in length");
    }
    column.start = static_cast<const char*>(column.info.ptr);
    column.stride = column.info.strides.empty() ? 4 : column.info.strides[0];
    std::int32_t largest = 0;
    for (Py_ssize_t i = 0; i < size; ++i) {
        const std::int32_t key = column.key(i);
        if (key < 0) {
            throw py::value_error("a key is negative");
        }
        largest = std::max(largest, key);
    }
    column.dense = static_cast<std::size_t>(largest) < static_cast<std::size_t>(size) + kDenseBeyondLength;
    if (column.dense) {
        column.counts.assign(static_cast<std::size_t>(largest) + 1, 0);
    }
    return column;
}

enum class Reading { done, not_a_number, out_of_range };

// Adds each id's keys to the counts; the first fault stops the reading.
Reading count(const std::string& ids, std::vector<Column>& columns, Py_ssize_t size) {
    const char* at = ids.data();
    const char* const end = at + ids.size();
    while (at < end) {
        if (*at == ' ') {
            ++at;
            continue;
        }
        std::uint64_t id = 0;
        const char* const start = at;
        while (at < end && *at >= '0' && *at <= '9') {
            id = id * 10 + static_cast<std::uint64_t>(*at - '0');
            if (id >= static_cast<std::uint64_t>(size)) {
                return Reading::out_of_range;
            }
            ++at;
        }
        if (at == start || (at < end && *at != ' ')) {
            return Reading::not_a_number;
        }
        for (Column& column : columns) {
            column.add(static_cast<Py_ssize_t>(id));
        }
    }
    return Reading::done;
}

// [(key, count) of every key held] for each column, in the columns' order.
py::list count_keys(const std::string& ids, const py::list& keys) {
    std::vector<Column> columns;
    Py_ssize_t size = -1;
    for (const py::handle item : keys) {
        columns.push_back(column_of(item, size));
    }
    Reading reading = Reading::done;
    {
        py::gil_scoped_release released;
        reading = count(ids, columns, size < 0 ? 0 : size);
        for (Column& column : columns) {
            std::sort(column.held.begin(), column.held.end());
        }
    }
    if (reading == Reading::out_of_range) {
        throw py::index_error("a hit's id lies beyond the columns of keys");
    }
    if (reading == Reading::not_a_number) {
        throw py::value_error("the hits' ids are not decimal numbers separated by spaces");
    }
    py::list counted;
    for (const Column& column : columns) {
        py::list held;
        if (column.dense) {
            for (std::size_t key = 0; key < column.counts.size(); ++key) {
                if (column.counts[key] != 0) {
                    held.append(py::make_tuple(key, column.counts[key]));
                }
            }
        } else {
            for (auto run = column.held.begin(); run != column.held.end();) {
                const auto end = std::upper_bound(run, column.held.end(), *run);
                held.append(py::make_tuple(*run, static_cast<std::int64_t>(end - run)));
                run = end;
            }
        }
        counted.append(std::move(held));
    }
    return counted;
}

}  // namespace

PYBIND11_MODULE(_facets, module) {
    module.doc() = "Counting the charts' keys over a search's hits (see varnel_host.facets).";
    module.def("count_keys", &count_keys, py::arg("ids"), py::arg("keys"),
               "For each array of keys indexed by record id: [(key, count)] over the ids given as a text of "
               "decimal ids separated by spaces.");
}
