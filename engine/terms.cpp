// The bilingual term table's hot loops (varnel_host/terms):
//
// Lexicon cuts Chinese text into the words of a word list by longest match,
// left to right (a character no listed word starts with is a word of its own),
// through a trie of the words' code points. Only characters of the caller's
// ranges (the CJK ranges of varnel_host/segment.py) are cut; others are passed
// over.
//
// align trains IBM Model 1 (Brown, Della Pietra, Della Pietra and Mercer,
// "The Mathematics of Statistical Machine Translation", 1993) by EM over
// sentence pairs of word ids, in both directions (t(en | zh) with a NULL
// Chinese word, t(zh | en) with a NULL English word), then counts, for each
// word pair, the sentence pairs in which it is a link of both directions'
// Viterbi alignments (their intersection). A sentence's repeated words are
// kept once with their multiplicity, which gives the same expected counts as
// one position each. The co-occurring pairs get dense indexes once
// (index_cells), so each EM iteration is a pass over flat arrays; it runs
// without the GIL.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace {

// A read-only view of a str's code points.
class Text {
public:
    explicit Text(PyObject* text)
        : kind_(PyUnicode_KIND(text)), data_(PyUnicode_DATA(text)),
          size_(static_cast<std::size_t>(PyUnicode_GET_LENGTH(text))) {}
    std::size_t size() const { return size_; }
    Py_UCS4 operator[](std::size_t i) const { return PyUnicode_READ(kind_, data_, i); }

private:
    int kind_;
    const void* data_;
    std::size_t size_;
};

PyObject* str_of(const py::handle& item, const char* what) {
    if (!PyUnicode_Check(item.ptr())) throw py::type_error(std::string(what) + " is not a str");
    return item.ptr();
}

// --- the lexicon ------------------------------------------------------------------

class Lexicon {
public:
    Lexicon(const py::iterable& words, const py::iterable& ranges) {
        for (const py::handle range : ranges) {
            const auto pair = range.cast<std::pair<Py_UCS4, Py_UCS4>>();
            ranges_.push_back(pair);
        }
        word_.push_back(-1);  // the root
        std::int64_t index = 0;
        for (const py::handle item : words) {
            const Text word(str_of(item, "a word"));
            std::uint32_t node = 0;
            for (std::size_t i = 0; i < word.size(); ++i) {
                const auto found = children_.try_emplace(key(node, word[i]), static_cast<std::uint32_t>(word_.size()));
                if (found.second) {
                    if (word_.size() >= std::numeric_limits<std::uint32_t>::max()) throw py::value_error("too many words");
                    word_.push_back(-1);
                }
                node = found.first->second;
            }
            if (node != 0 && word_[node] < 0) word_[node] = index;
            ++index;
        }
    }

    // (start, end, word) of every word of the text's characters in the
    // ranges: word is the index of a listed word, -1 for a character no
    // listed word starts with.
    py::list cut(const py::str& text) const {
        py::list out;
        scan(text, [&](std::size_t start, std::size_t end, std::int64_t word, Py_UCS4) {
            out.append(py::make_tuple(start, end, word));
        });
        return out;
    }

    // The ids of the text's words: a listed word's index, or -1 - c for a
    // character c no listed word starts with.
    py::list ids(const py::str& text) const {
        py::list out;
        scan(text, [&](std::size_t, std::size_t, std::int64_t word, Py_UCS4 first) {
            out.append(word >= 0 ? word : -1 - static_cast<std::int64_t>(first));
        });
        return out;
    }

private:
    static std::uint64_t key(std::uint32_t node, Py_UCS4 c) { return (static_cast<std::uint64_t>(node) << 21) | c; }

    bool cut_here(Py_UCS4 c) const {
        for (const auto& range : ranges_) {
            if (c >= range.first && c < range.second) return true;
        }
        return false;
    }

    template <typename Found>
    void scan(const py::str& text, Found found) const {
        const Text view(text.ptr());
        std::size_t i = 0;
        while (i < view.size()) {
            if (!cut_here(view[i])) {
                ++i;
                continue;
            }
            std::size_t end = i + 1;
            std::int64_t word = -1;
            std::uint32_t node = 0;
            for (std::size_t j = i; j < view.size() && cut_here(view[j]); ++j) {
                const auto next = children_.find(key(node, view[j]));
                if (next == children_.end()) break;
                node = next->second;
                if (word_[node] >= 0) {
                    word = word_[node];
                    end = j + 1;
                }
            }
            found(i, end, word, view[i]);
            i = end;
        }
    }

    std::vector<std::pair<Py_UCS4, Py_UCS4>> ranges_;
    std::unordered_map<std::uint64_t, std::uint32_t> children_;  // (node, code point) -> node
    std::vector<std::int64_t> word_;                             // node -> the word ending there, or -1
};

// --- the alignment ---------------------------------------------------------------

// The sentence pairs: each side's distinct words with their multiplicities,
// and the dense index of every (zh word, en word) cell, zh-major.
struct Corpus {
    std::vector<std::uint32_t> zh, en;  // words of all sentences, one side after another
    std::vector<float> zh_times, en_times;
    std::vector<std::size_t> zh_start{0}, en_start{0}, cell_start{0};  // per sentence; one more than sentences
    std::vector<std::uint32_t> cells;
    std::vector<std::uint32_t> pair_zh, pair_en;  // per pair index
    std::size_t zh_words = 0, en_words = 0;

    std::size_t sentences() const { return zh_start.size() - 1; }
};

// A side's ids, checked against its vocabulary's size, as distinct words with multiplicities.
void add_side(const py::handle& side, std::size_t words, std::vector<std::uint32_t>& ids, std::vector<float>& times,
              std::vector<std::size_t>& start) {
    std::vector<std::uint32_t> sorted;
    for (const py::handle item : py::reinterpret_borrow<py::iterable>(side)) {
        const auto id = item.cast<long long>();
        if (id < 0 || static_cast<unsigned long long>(id) >= words) throw py::value_error("a word id is out of range");
        sorted.push_back(static_cast<std::uint32_t>(id));
    }
    std::sort(sorted.begin(), sorted.end());
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        if (i > 0 && sorted[i] == sorted[i - 1]) {
            times.back() += 1.0f;
        } else {
            ids.push_back(sorted[i]);
            times.push_back(1.0f);
        }
    }
    start.push_back(ids.size());
}

// The pairs are numbered by Chinese word, then English word: each Chinese
// word's distinct English partners sorted in one array (pair_en), found again
// for each cell by binary search within the word's run. Its memory is a few
// bytes a cell, whatever the vocabularies' sizes.
void index_cells(Corpus& c) {
    std::vector<std::size_t> start(c.zh_words + 1, 0);
    for (std::size_t s = 0; s < c.sentences(); ++s) {
        for (std::size_t i = c.zh_start[s]; i < c.zh_start[s + 1]; ++i) start[c.zh[i] + 1] += c.en_start[s + 1] - c.en_start[s];
    }
    for (std::size_t z = 0; z < c.zh_words; ++z) start[z + 1] += start[z];
    if (start.back() >= std::numeric_limits<std::uint32_t>::max()) throw std::length_error("too many word pairs");
    std::vector<std::uint32_t> partners(start.back());
    std::vector<std::size_t> filled(start.begin(), start.end() - 1);
    for (std::size_t s = 0; s < c.sentences(); ++s) {
        for (std::size_t i = c.zh_start[s]; i < c.zh_start[s + 1]; ++i) {
            for (std::size_t j = c.en_start[s]; j < c.en_start[s + 1]; ++j) partners[filled[c.zh[i]]++] = c.en[j];
        }
    }
    std::vector<std::size_t> first(c.zh_words + 1, 0);  // each Chinese word's run of pairs
    std::size_t kept = 0;
    for (std::size_t z = 0; z < c.zh_words; ++z) {
        first[z] = kept;
        const auto begin = partners.begin() + static_cast<std::ptrdiff_t>(start[z]);
        const auto end = partners.begin() + static_cast<std::ptrdiff_t>(start[z + 1]);
        std::sort(begin, end);
        kept = static_cast<std::size_t>(std::unique_copy(begin, end, partners.begin() + static_cast<std::ptrdiff_t>(kept)) -
                                        partners.begin());
    }
    first[c.zh_words] = kept;
    c.pair_zh.resize(kept);
    for (std::size_t z = 0; z < c.zh_words; ++z) {
        std::fill(c.pair_zh.begin() + static_cast<std::ptrdiff_t>(first[z]),
                  c.pair_zh.begin() + static_cast<std::ptrdiff_t>(first[z + 1]), static_cast<std::uint32_t>(z));
    }
    partners.resize(kept);
    c.pair_en = std::move(partners);
    c.cells.reserve(start.back());
    for (std::size_t s = 0; s < c.sentences(); ++s) {
        for (std::size_t i = c.zh_start[s]; i < c.zh_start[s + 1]; ++i) {
            const auto run = c.pair_en.begin() + static_cast<std::ptrdiff_t>(first[c.zh[i]]);
            const auto run_end = c.pair_en.begin() + static_cast<std::ptrdiff_t>(first[c.zh[i] + 1]);
            for (std::size_t j = c.en_start[s]; j < c.en_start[s + 1]; ++j) {
                c.cells.push_back(static_cast<std::uint32_t>(std::lower_bound(run, run_end, c.en[j]) - c.pair_en.begin()));
            }
        }
        c.cell_start.push_back(c.cells.size());
    }
}

// One direction of Model 1: t(target | source) over the pairs and t(target |
// NULL) per target word. `forward`: the source is Chinese.
struct Direction {
    std::vector<float> t;     // per pair index
    std::vector<double> null;  // per target word
};

Direction train(const Corpus& c, bool forward, int iterations) {
    const std::size_t targets = forward ? c.en_words : c.zh_words;
    const std::size_t sources = forward ? c.zh_words : c.en_words;
    const std::vector<std::uint32_t>& pair_source = forward ? c.pair_zh : c.pair_en;
    Direction d{std::vector<float>(c.pair_zh.size(), 1.0f / static_cast<float>(std::max<std::size_t>(targets, 1))),
                std::vector<double>(targets, 1.0 / static_cast<double>(std::max<std::size_t>(targets, 1)))};
    std::vector<double> counts(c.pair_zh.size());
    std::vector<double> null_counts(targets);
    std::vector<double> totals(sources);
    for (int iteration = 0; iteration < iterations; ++iteration) {
        std::fill(counts.begin(), counts.end(), 0.0);
        std::fill(null_counts.begin(), null_counts.end(), 0.0);
        for (std::size_t s = 0; s < c.sentences(); ++s) {
            const std::size_t z0 = c.zh_start[s], nz = c.zh_start[s + 1] - z0;
            const std::size_t e0 = c.en_start[s], ne = c.en_start[s + 1] - e0;
            const std::uint32_t* cell = c.cells.data() + c.cell_start[s];
            // target k, source l of this sentence -> its cell (zh-major)
            const std::size_t nt = forward ? ne : nz, ns = forward ? nz : ne;
            const std::size_t target_step = forward ? 1 : ne, source_step = forward ? ne : 1;
            const std::uint32_t* target_ids = forward ? c.en.data() + e0 : c.zh.data() + z0;
            const float* target_times = forward ? c.en_times.data() + e0 : c.zh_times.data() + z0;
            const float* source_times = forward ? c.zh_times.data() + z0 : c.en_times.data() + e0;
            for (std::size_t k = 0; k < nt; ++k) {
                const std::uint32_t* row = cell + k * target_step;
                double denominator = d.null[target_ids[k]];
                for (std::size_t l = 0; l < ns; ++l) denominator += source_times[l] * d.t[row[l * source_step]];
                const double scale = target_times[k] / denominator;
                null_counts[target_ids[k]] += scale * d.null[target_ids[k]];
                for (std::size_t l = 0; l < ns; ++l) {
                    const std::uint32_t pair = row[l * source_step];
                    counts[pair] += scale * source_times[l] * d.t[pair];
                }
            }
        }
        std::fill(totals.begin(), totals.end(), 0.0);
        for (std::size_t p = 0; p < counts.size(); ++p) totals[pair_source[p]] += counts[p];
        for (std::size_t p = 0; p < counts.size(); ++p) {
            const double total = totals[pair_source[p]];
            d.t[p] = total > 0.0 ? static_cast<float>(counts[p] / total) : 0.0f;
        }
        double null_total = 0.0;
        for (const double n : null_counts) null_total += n;
        for (std::size_t w = 0; w < targets; ++w) d.null[w] = null_total > 0.0 ? null_counts[w] / null_total : 0.0;
    }
    return d;
}

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// Which of `count` cells (cell[k * step]) has the highest t, if above the NULL word's; kNone if none is.
std::size_t best_of(const std::vector<float>& t, double null, const std::uint32_t* cell, std::size_t count,
                    std::size_t step) {
    std::size_t found = kNone;
    double best = null;
    for (std::size_t k = 0; k < count; ++k) {
        if (t[cell[k * step]] > best) {
            best = t[cell[k * step]];
            found = k;
        }
    }
    return found;
}

// Calls found(sentence, pair) for each link both directions' Viterbi alignments hold.
template <typename Found>
void links(const Corpus& c, const Direction& forward, const Direction& backward, Found found) {
    std::vector<std::size_t> best_zh, best_en;  // per en word its zh word, per zh word its en word (kNone: NULL)
    for (std::size_t s = 0; s < c.sentences(); ++s) {
        const std::size_t z0 = c.zh_start[s], nz = c.zh_start[s + 1] - z0;
        const std::size_t e0 = c.en_start[s], ne = c.en_start[s + 1] - e0;
        const std::uint32_t* cell = c.cells.data() + c.cell_start[s];
        best_zh.resize(ne);
        best_en.resize(nz);
        for (std::size_t j = 0; j < ne; ++j) best_zh[j] = best_of(forward.t, forward.null[c.en[e0 + j]], cell + j, nz, ne);
        for (std::size_t i = 0; i < nz; ++i) best_en[i] = best_of(backward.t, backward.null[c.zh[z0 + i]], cell + i * ne, ne, 1);
        for (std::size_t j = 0; j < ne; ++j) {
            if (best_zh[j] != kNone && best_en[best_zh[j]] == j) found(s, cell[best_zh[j] * ne + j]);
        }
    }
}

py::list align(const py::iterable& pairs, std::size_t zh_words, std::size_t en_words, int iterations, int min_count,
               double floor, int kept) {
    if (iterations < 0 || iterations > 100 || kept < 0 || kept > 100 || min_count < 1) {
        throw py::value_error("iterations and kept are from 0 to 100, min_count at least 1");
    }
    if (zh_words >= std::numeric_limits<std::uint32_t>::max() || en_words >= std::numeric_limits<std::uint32_t>::max()) {
        throw py::value_error("too many words");
    }
    Corpus corpus;
    corpus.zh_words = zh_words;
    corpus.en_words = en_words;
    for (const py::handle pair : pairs) {
        const auto sides = py::reinterpret_borrow<py::sequence>(pair);
        if (sides.size() != 2) throw py::value_error("a sentence pair is (zh ids, en ids)");
        add_side(sides[0], zh_words, corpus.zh, corpus.zh_times, corpus.zh_start);
        add_side(sides[1], en_words, corpus.en, corpus.en_times, corpus.en_start);
    }
    struct Kept {
        std::uint32_t pair;
        std::uint32_t count;
        std::vector<std::uint32_t> sentences;
    };
    std::vector<Kept> result;
    Direction forward, backward;
    {
        py::gil_scoped_release released;
        index_cells(corpus);
        forward = train(corpus, true, iterations);
        backward = train(corpus, false, iterations);
        std::vector<std::uint32_t> counts(corpus.pair_zh.size());
        links(corpus, forward, backward, [&](std::size_t, std::uint32_t pair) { ++counts[pair]; });
        std::vector<std::uint32_t> slot(counts.size(), std::numeric_limits<std::uint32_t>::max());
        for (std::size_t p = 0; p < counts.size(); ++p) {
            if (counts[p] >= static_cast<std::uint32_t>(min_count) && forward.t[p] >= floor && backward.t[p] >= floor) {
                slot[p] = static_cast<std::uint32_t>(result.size());
                result.push_back({static_cast<std::uint32_t>(p), counts[p], {}});
            }
        }
        links(corpus, forward, backward, [&](std::size_t s, std::uint32_t pair) {
            if (slot[pair] == std::numeric_limits<std::uint32_t>::max()) return;
            auto& sentences = result[slot[pair]].sentences;
            if (sentences.size() < static_cast<std::size_t>(kept)) sentences.push_back(static_cast<std::uint32_t>(s));
        });
    }
    py::list out;
    for (const Kept& k : result) {
        py::list sentences;
        for (const std::uint32_t s : k.sentences) sentences.append(s);
        out.append(py::make_tuple(corpus.pair_zh[k.pair], corpus.pair_en[k.pair], forward.t[k.pair], backward.t[k.pair],
                                  k.count, sentences));
    }
    return out;
}

}  // namespace

PYBIND11_MODULE(_terms, module) {
    module.doc() = "The bilingual term table's hot loops: longest-match cutting and IBM Model 1 alignment.";
    py::class_<Lexicon>(module, "Lexicon")
        .def(py::init<const py::iterable&, const py::iterable&>(), py::arg("words"), py::arg("ranges"),
             "A trie of the words (str); only characters inside the [first, end) code point ranges are cut.")
        .def("cut", &Lexicon::cut, py::arg("text"),
             "(start, end, word) of each word by longest match, left to right: word is the index of a listed "
             "word, -1 for a character no listed word starts with.")
        .def("ids", &Lexicon::ids, py::arg("text"),
             "The words of cut() as ids: a listed word's index, or -1 - c for a lone character c.");
    module.def("align", &align, py::arg("pairs"), py::arg("zh_words"), py::arg("en_words"), py::arg("iterations"),
               py::arg("min_count"), py::arg("floor"), py::arg("kept"),
               "IBM Model 1 by EM in both directions over (zh ids, en ids) sentence pairs: (zh, en, t(en|zh), "
               "t(zh|en), count, sentences) of each pair linked in both Viterbi alignments of at least min_count "
               "sentences with both probabilities at least floor; sentences: the first `kept` of them.");
}
