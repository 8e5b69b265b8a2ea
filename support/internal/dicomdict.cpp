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

// Levenshtein distance of a and b, or limit + 1 once it is certainly above
// limit.
size_t edit_distance(std::string_view a, std::string_view b, size_t limit) {
    if ((a.size() > b.size() ? a.size() - b.size() : b.size() - a.size()) > limit) return limit + 1;
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diag = row[0], best = row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t up = row[j];
            row[j] = std::min({up + 1, row[j - 1] + 1, diag + (a[i - 1] != b[j - 1])});
            diag = up;
            best = std::min(best, row[j]);
        }
        if (best > limit) return limit + 1;
    }
    return row[b.size()];
}

} // namespace

const DictEntry *dict_keyword_meant(std::string_view key) noexcept {
    const std::string k = folded(key);
    if (k.size() < 4) return nullptr;
    const size_t limit = k.size() < 10 ? 1 : 2;
    const DictEntry *best = nullptr;
    size_t best_rank = SIZE_MAX;
    for (const DictEntry &d : table_entries) {
        std::string_view kw = d.keyword();
        if (kw.empty()) continue;
        size_t dist = edit_distance(k, folded(kw), limit);
        if (dist > limit) continue;
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
