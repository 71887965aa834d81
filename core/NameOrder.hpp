#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sonvel::NameOrder {

// Unicode-aware lower-casing (full case mapping per code point, after
// composing), for "lower-cased in the user's locale" comparisons. Text that is
// not valid UTF-8 is returned unchanged.
std::string lowercased(std::string_view text);

// Display-name order as a user expects it from a locale-aware sort: letters
// compare without their accents first ("É" among the e's, not after "z"), then
// by the lower-cased text, so names that differ only in accents still have a
// fixed order. Names equal when lower-cased compare equal, which leaves their
// relative order to a stable sort.
struct Key {
    std::string base;
    std::string lower;

    auto operator<=>(const Key&) const = default;
};

Key key(std::string_view displayName);

// Stable sort: by `rank(item)` ascending first, then by the name order of
// `name(item)`. Each name's key is computed once.
template <class T, class Rank, class Name>
void stableSort(std::vector<T>& items, Rank rank, Name name) {
    struct Entry {
        decltype(rank(items.front())) order;
        Key key;
        std::size_t index;
    };
    std::vector<Entry> entries;
    entries.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        entries.push_back({rank(items[i]), key(name(items[i])), i});
    }
    std::ranges::stable_sort(entries, [](const Entry& a, const Entry& b) {
        if (a.order != b.order) return a.order < b.order;
        return a.key < b.key;
    });
    std::vector<T> sorted;
    sorted.reserve(items.size());
    for (const Entry& entry : entries) sorted.push_back(std::move(items[entry.index]));
    items = std::move(sorted);
}

}  // namespace sonvel::NameOrder
