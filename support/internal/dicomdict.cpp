// The generated dictionary table and its lookups.
#include <kuvra/internal/dicomdict.h>

#include <algorithm>
#include <string>
#include <vector>

namespace kuvra::internal {

namespace {

#include "dicomdict_table.inc"

constexpr uint32_t tag_key(uint16_t g, uint16_t e) {
    return uint32_t(g) << 16 | e;
}

constexpr bool parity_ok(DictParity p, uint16_t v) {
    return p == DictParity::all || (p == DictParity::even) == (v % 2 == 0);
}

// Binary search below relies on the generator's order; a table out of order
// would find nothing for some tags, silently.
constexpr bool singles_sorted() {
    for (size_t i = 1; i < table_single_count; ++i)
        if (tag_key(table_entries[i - 1].group, table_entries[i - 1].element) >=
            tag_key(table_entries[i].group, table_entries[i].element))
            return false;
    return true;
}
static_assert(singles_sorted(), "dictionary table: single tags not in ascending order");
static_assert(std::size(table_by_keyword) == std::size(table_entries));

} // namespace

std::string_view DictEntry::keyword() const noexcept {
    return {table_keywords + kw_off, kw_len};
}

bool DictEntry::covers(uint16_t g, uint16_t e) const noexcept {
    return g >= group && g <= group_last && e >= element && e <= element_last &&
           parity_ok(group_parity(), g) && parity_ok(element_parity(), e);
}

std::span<const DictEntry> dict_entries() noexcept {
    return table_entries;
}

const DictEntry *dict_find_tag(uint16_t group, uint16_t element) noexcept {
    const DictEntry *first = table_entries, *last = table_entries + table_single_count;
    const uint32_t key = tag_key(group, element);
    const DictEntry *at = std::lower_bound(first, last, key, [](const DictEntry &d, uint32_t k) {
        return tag_key(d.group, d.element) < k;
    });
    if (at != last && tag_key(at->group, at->element) == key) return at;
    for (const DictEntry *r = last; r != std::end(table_entries); ++r)
        if (r->covers(group, element)) return r;
    return nullptr;
}

const DictEntry *dict_find_keyword(std::string_view keyword) noexcept {
    const uint16_t *first = table_by_keyword, *last = std::end(table_by_keyword);
    const uint16_t *at = std::lower_bound(first, last, keyword, [](uint16_t i, std::string_view k) {
        return table_entries[i].keyword() < k;
    });
    if (at != last && table_entries[*at].keyword() == keyword) return &table_entries[*at];
    return nullptr;
}

namespace {

// Lower case, without the separators people put between words.
std::string folded(std::string_view s) {
    std::string out;
    for (char c : s)
        if (c != ' ' && c != '_' && c != '-' && c != '\t')
            out += c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
    return out;
}

// folded() of every keyword, by table index ("" for an entry without one),
// made at the first search.
const std::vector<std::string> &folded_keywords() {
    static const std::vector<std::string> all = [] {
        std::vector<std::string> v;
        v.reserve(std::size(table_entries));
        for (const DictEntry &d : table_entries)
            v.push_back(folded(d.keyword()));
        return v;
    }();
    return all;
}

// Levenshtein distance of a and b, or limit + 1 once it is certainly above
// limit.  Only the band of cells within limit of the diagonal is computed
// (a cell outside it is above limit already), so a comparison costs
// (2 limit + 1) cells a row rather than the width of b: the search runs
// over the whole dictionary whenever a comment's key is not one.
size_t edit_distance(std::string_view a, std::string_view b, size_t limit) {
    const size_t above = limit + 1;
    if ((a.size() > b.size() ? a.size() - b.size() : b.size() - a.size()) > limit) return above;
    // Keywords are shorter than 64 bytes: the row lives on the stack.
    size_t small[64];
    std::vector<size_t> large;
    size_t *row = small;
    if (b.size() >= std::size(small)) row = (large.resize(b.size() + 1), large.data());
    std::fill(row, row + b.size() + 1, above);
    for (size_t j = 0; j <= std::min(b.size(), limit); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        const size_t lo = i > limit ? i - limit : 1, hi = std::min(b.size(), i + limit);
        // row[lo - 1] turns from row i - 1 (inside its band) into row i
        // (column 0, or just left of the band).
        size_t diag = row[lo - 1];
        row[lo - 1] = lo == 1 && i <= limit ? i : above;
        size_t best = row[lo - 1];
        for (size_t j = lo; j <= hi; ++j) {
            const size_t up = row[j];
            row[j] = std::min(std::min(up, row[j - 1]) + 1, diag + (a[i - 1] != b[j - 1]));
            diag = up;
            best = std::min(best, row[j]);
        }
        if (best > limit) return above;
    }
    return std::min(row[b.size()], above);
}

} // namespace

const DictEntry *dict_keyword_meant(std::string_view key) noexcept {
    const std::string k = folded(key);
    if (k.size() < 4) return nullptr;
    const size_t limit = k.size() < 10 ? 1 : 2;
    const DictEntry *best = nullptr;
    size_t best_rank = SIZE_MAX;
    const std::vector<std::string> &folded_all = folded_keywords();
    for (size_t i = 0; i < folded_all.size(); ++i) {
        const std::string &f = folded_all[i];
        // Most keywords differ in length by more than the limit: skipped
        // with one comparison, the search of the whole dictionary then
        // takes microseconds.
        if (f.empty() || (f.size() > k.size() ? f.size() - k.size() : k.size() - f.size()) > limit)
            continue;
        size_t dist = edit_distance(k, f, limit);
        if (dist > limit) continue;
        const DictEntry &d = table_entries[i];
        std::string_view kw = d.keyword();
        // Of equal distance, a current single attribute first.
        size_t rank = dist * 2 + (d.is_range() || kw.starts_with("RETIRED_"));
        if (rank < best_rank) best = &d, best_rank = rank;
    }
    return best;
}

std::string_view dict_source() noexcept {
    return table_source;
}

} // namespace kuvra::internal
