// The scalars of the native YAML reader: what the safe loader makes of a
// scalar's text, by its implicit resolver (plain scalars without a tag) or by
// the constructor of an explicit standard tag. Apart from the structure
// (yaml_reader.cpp and the files beside it) because these are the YAML 1.1
// rules, which hold whatever the layout of the text.
#pragma once

#include "core/ref.hpp"

#include <cstddef>
#include <string>

namespace tavik::dicts::yaml {

using Char = char32_t;
using Text = std::u32string;

inline bool digit(Char c) { return c >= '0' && c <= '9'; }

// The datetime C API, taken at the first call (it is per file). False, with
// no error set, when it cannot be had: the reader then declines.
bool scalars_ready();

Ref make_str(const Char* s, std::size_t n);

// What the implicit resolver gives a plain scalar besides str, int, float,
// bool, null and timestamp: the two tags that only a mapping key may carry
// (merge "<<", value "=").
enum class Implicit { Plain, Merge, Value };

// The object safe_load makes of a plain scalar, or an empty Ref with no error
// set when the reader declines it (or with one set, when building failed).
// `tag` tells a merge or value key.
Ref resolve(const Char* s, std::size_t n, Implicit& tag);

// The standard tags the reader takes; any other declines.
enum class Std { None, Str, Int, Float, Bool, Null, Timestamp, Map, Seq };

// The name after "!!" (as "int" in "!!int"), or Std::None.
Std standard_tag(const Char* name, std::size_t n);

// What the constructor of `tag` makes of a scalar's value, when it is certain:
// a value its pattern does not take (which it may still accept, or reject)
// declines, as do the collection tags (a scalar under !!map or !!seq is an
// error of the constructor).
Ref construct(Std tag, const Char* s, std::size_t n);

}  // namespace tavik::dicts::yaml
