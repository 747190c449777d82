// The readers of resources, document blocks and layer blocks dispatch on the identifier or key
// through a table of these; the tables are short, so a look-up is a plain search.
#pragma once

#include <cstddef>

namespace PSD {

// One entry of a dispatch table: a four-character key and what handles it.
template <class Key, class Handler>
struct KeyHandler {
    Key key;
    Handler handler;
};

// The handler of the first entry with this key; null when there is none.
template <class Key, class Handler, size_t N>
constexpr Handler FindKeyHandler(KeyHandler<Key, Handler> const (&table)[N], Key key) {
    for (auto const& e : table)
        if (e.key == key) return e.handler;
    return nullptr;
}

}  // namespace PSD
