// The native reader of the YAML that configuration files are made of: the
// document, its lines and indentation, block collections, anchors, aliases
// and merges. What it answers: one document (an optional "---" line first,
// an optional "..." line last) of block mappings and sequences (indentless
// sequences as mapping values, compact nesting after "- "), flow
// collections, plain, quoted and block scalars, comments, anchors and
// aliases (the same objects, recursion included), merge keys, and the
// standard tags of scalars, mappings and sequences. Everything else
// declines: other tags, a tag whose node is on a later line, directives,
// explicit "?" keys, tabs, line breaks other than "\n" and "\r\n", a byte
// order mark, nesting that PyYAML could not reach within the frames left,
// and every text that safe_load rejects. A decline hands the text to the
// real safe_load, so where the reader is not certain it declines.
//
// Flow collections and quoted scalars are in yaml_flow.cpp, what a scalar's
// text becomes in yaml_scalars.cpp.
//
// Linear: one pass over the text, one stack entry per open collection, no
// recursion on the input (node() reads the value after "key:" through
// entry(), one level, since such a value opens no block collection).
#include "dicts/yaml_reader.hpp"

#include "dicts/yaml_document.hpp"
#include "dicts/yaml_guard.hpp"

#include <algorithm>
#include <new>
#include <utility>

namespace tavik::dicts {

namespace yaml {

namespace {

// What the loader's reader accepts, less what this reader declines: tab, the
// line breaks other than "\n" (a "\r\n" pair is folded to "\n" first) and
// the byte order mark.
bool accepted(Char c) {
    return c == '\n' || (c >= 0x20 && c <= 0x7E) || (c >= 0xA0 && c <= 0xD7FF && c != 0x2028 && c != 0x2029) ||
           (c >= 0xE000 && c <= 0xFFFD && c != 0xFEFF) || (c >= 0x10000 && c <= 0x10FFFF);
}

// The text with "\r\n" as "\n", followed by NULs so that short look-aheads
// need no bounds; false when it holds a character declined above.
template <class C>
bool load_text(const C* data, Py_ssize_t n, Text& out) {
    out.resize(static_cast<std::size_t>(n) + 4);
    Char* to = out.data();
    for (Py_ssize_t i = 0; i < n; ++i) {
        Char c = data[i];
        // Printable ASCII, the common case, needs no other test.
        if (c - 0x20 > 0x5E) {
            if (c == '\r' && i + 1 < n && data[i + 1] == '\n') continue;
            if (!accepted(c)) return false;
        }
        *to++ = c;
    }
    std::size_t size = static_cast<std::size_t>(to - out.data());
    std::fill(to, to + 4, 0);
    out.resize(size + 4);
    return true;
}

// PyYAML's composer nests two Python frames per collection and needs at
// most this many more, around the nesting and below it, to read a text: 11
// to 20 as measured where it fails, the most for a quoted scalar over lines
// whose anchor was given on the line above.
constexpr long kPyYamlFrames = 20;

}  // namespace

// One level short of the deepest nesting that PyYAML reads in `room` frames.
Reader::Reader(Text text, long room) : s_(std::move(text)) {
    long levels = (room - kPyYamlFrames) / 2 - 1;
    max_depth_ = static_cast<std::size_t>(std::clamp<long>(levels, 0, kYamlMaxDepth));
}

// ---- open collections, anchors and merges ------------------------------------

// `[-0-9A-Za-z_]+`, then a space or the end of the line (in a flow
// collection also ',', ']' or '}').
bool Reader::anchor_name(std::size_t& p, std::size_t e, Text& name, bool flow) {
    std::size_t q = p;
    while (q < e && (digit(s_[q]) || (s_[q] >= 'A' && s_[q] <= 'Z') || (s_[q] >= 'a' && s_[q] <= 'z') ||
                     s_[q] == '-' || s_[q] == '_')) {
        ++q;
    }
    bool ends = q == e || s_[q] == ' ' || (flow && (s_[q] == ',' || s_[q] == ']' || s_[q] == '}'));
    if (q == p || !ends) return false;
    name.assign(s_.data() + p, q - p);
    p = q;
    return true;
}

bool Reader::is_open(PyObject* obj) const {
    for (const Frame& f : stack_) {
        if (f.obj == obj) return true;
    }
    return false;
}

// The value of a "<<" key: a finished mapping, or a finished list of them
// (merged last to first).
bool Reader::merge(Frame& f, PyObject* value) {
    auto add = [&](PyObject* d) {
        if (!PyDict_CheckExact(d) || is_open(d)) return false;
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(d, &pos, &k, &v)) f.merges.emplace_back(Ref::borrow(k), Ref::borrow(v));
        return true;
    };
    if (PyList_CheckExact(value)) {
        if (is_open(value)) return false;
        for (Py_ssize_t i = PyList_GET_SIZE(value); i-- > 0;) {
            if (!add(PyList_GET_ITEM(value, i))) return false;
        }
    } else if (!add(value)) {
        return false;
    }
    f.merged = true;
    return true;
}

bool Reader::deliver(Ref value, const Text* anchor) {
    if (!value) return false;
    if (anchor) {
        // A second anchor of the same name is an error of the composer.
        if (!anchors_.emplace(*anchor, value).second) return false;
    }
    if (stack_.empty()) {
        root_ = std::move(value);
        has_root_ = true;
        return true;
    }
    Frame& f = stack_.back();
    f.awaiting = false;
    f.anchor.clear();
    if (f.is_map) {
        if (f.merge_key) {
            f.merge_key = false;
            return merge(f, value.get());
        }
        Ref key = std::move(f.key);
        return PyDict_SetItem(f.obj, key.get(), value.get()) == 0;
    }
    return PyList_Append(f.obj, value.get()) == 0;
}

bool Reader::open(bool is_map, long indent, bool indentless, const Text* anchor) {
    if (stack_.size() >= max_depth_) return false;
    Ref obj = Ref::steal(is_map ? PyDict_New() : PyList_New(0));
    if (!obj) return false;
    PyObject* raw = obj.get();
    Frame f{is_map};
    // A merge value is merged when finished; any other is in place at once,
    // for the aliases inside it.
    if (!stack_.empty() && stack_.back().merge_key) {
        if (anchor) return false;
        f.held = std::move(obj);
    } else if (!deliver(std::move(obj), anchor)) {
        return false;
    }
    f.indent = indent;
    f.indentless = indentless;
    f.obj = raw;
    stack_.push_back(std::move(f));
    return true;
}

// Pops the innermost collection. Merged pairs come first, in merge order,
// then the mapping's own: the order and values of a dict built from that
// sequence of pairs.
bool Reader::close() {
    Frame& f = stack_.back();
    if (f.awaiting) {
        Text anchor = f.anchor;
        if (!deliver(Ref::borrow(Py_None), f.anchor.empty() ? nullptr : &anchor)) return false;
    }
    return pop();
}

// Ends the innermost collection.
bool Reader::pop() {
    Frame& f = stack_.back();
    if (!finish(f)) return false;
    Ref held = std::move(f.held);
    stack_.pop_back();
    return !held || deliver(std::move(held), nullptr);
}

bool Reader::finish(Frame& f) {
    if (!f.merged) return true;
    Ref own = Ref::steal(PyDict_Items(f.obj));
    if (!own) return false;
    PyDict_Clear(f.obj);
    for (auto& [k, v] : f.merges) {
        if (!yaml_key_hashable(k.get()) || PyDict_SetItem(f.obj, k.get(), v.get()) < 0) return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(own.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(own.get(), i);
        if (PyDict_SetItem(f.obj, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)) < 0) return false;
    }
    return true;
}

// ---- keys, tags and scalars' values -------------------------------------------

// After "key:" at q (past the colon): a value on the same line, or one to
// come on the lines below.
inline bool Reader::value_after_colon(std::size_t q, std::size_t e) {
    Frame& f = stack_.back();
    f.awaiting = true;
    if (rest_empty(q, e)) return true;
    if (s_[q] != ' ') return false;
    return node(skip_spaces(q), e, Ctx::Colon, f.indent, nullptr);
}

// A key at p, in the innermost (mapping) frame, with its ':' and value.
bool Reader::entry(std::size_t p, std::size_t e) {
    std::size_t start = p;
    if (!key_tag(p)) return false;
    std::size_t end, q;
    Text text;
    bool plain_key = !(s_[p] == '\'' || s_[p] == '"');
    if (!plain_key) {
        bool multiline;
        if (!quoted(p, end, text, multiline) || multiline) return false;
        q = skip_spaces(end);
        if (s_[q] != ':' || !blank_or_end(s_[q + 1])) return false;
    } else {
        bool at_colon;
        if (!plain(p, e, end, at_colon) || !at_colon) return false;
        q = skip_spaces(end);
        text.assign(s_.data() + p, end - p);
    }
    // A key longer than this is no simple key for the scanner.
    if (q - start > 1000 || !set_key(text, plain_key)) return false;
    return value_after_colon(q + 1, e);
}

// The tag of a key at p, if any (p moves past it), into tag_.
bool Reader::key_tag(std::size_t& p) {
    if (s_[p] != '!') return true;
    if (tag_ != Std::None) return false;
    tag_ = tag_at(p);
    p = skip_spaces(p);
    return tag_ != Std::None;
}

// The key of the innermost mapping, from its text: every mapping key, of a
// block or a flow mapping, is made here. A plain "<<" is a merge key; a
// plain "=" is the str "=".
bool Reader::set_key(const Text& text, bool plain_key) {
    Frame& f = stack_.back();
    Std tag = std::exchange(tag_, Std::None);
    Ref key;
    if (tag != Std::None) {
        key = construct(tag, text.data(), text.size());
    } else if (!plain_key) {
        key = make_str(text.data(), text.size());
    } else {
        Implicit implicit;
        key = resolve(text.data(), text.size(), implicit);
        f.merge_key = implicit == Implicit::Merge;
    }
    if (!key) return false;
    // The constructor asks isinstance(key, Hashable) of every key but "<<",
    // whose pairs it asks again once merged (finish()).
    if (!f.merge_key && !yaml_key_hashable(key.get())) return false;
    f.key = std::move(key);
    return true;
}

// "!!name" at q, followed by a space; q moves past it.
Std Reader::tag_at(std::size_t& q) const {
    if (s_[q] != '!' || s_[q + 1] != '!') return Std::None;
    std::size_t r = q + 2;
    while (s_[r] != ' ' && s_[r] != '\n' && s_[r] != 0) ++r;
    if (s_[r] != ' ') return Std::None;
    Std tag = standard_tag(s_.data() + q + 2, r - q - 2);
    if (tag != Std::None) q = r;
    return tag;
}

// A scalar's value under the tag being read (taken), or as resolved.
Ref Reader::scalar(const Char* text, std::size_t n, bool plain) {
    Std tag = std::exchange(tag_, Std::None);
    if (tag != Std::None) return construct(tag, text, n);
    if (!plain) return make_str(text, n);
    Implicit implicit;
    Ref value = resolve(text, n, implicit);
    return implicit == Implicit::Plain ? value : Ref();
}

// ---- the texts of plain and block scalars -------------------------------------
//
// Read as the loader's scanner reads them: plain scalars end at ": " or " #"
// and fold over the lines indented past their context; block scalars take
// the lines indented past it, with chomping and indentation indicators. Only
// the text comes out: yaml_scalars decides what it becomes.

// A plain scalar's first line, from p: up to ": ", " #" or the end of the
// line. `at_colon` tells that ": " (or ":" at the end) follows.
bool Reader::plain(std::size_t p, std::size_t e, std::size_t& end, bool& at_colon) {
    Char c = s_[p];
    bool indicator = c == '-' || c == '?' || c == ':' || c == ',' || c == '[' || c == ']' || c == '{' || c == '}' ||
                     c == '#' || c == '&' || c == '*' || c == '!' || c == '|' || c == '>' || c == '\'' ||
                     c == '"' || c == '%' || c == '@' || c == '`';
    if (indicator && !((c == '-' || c == '?' || c == ':') && !blank_or_end(s_[p + 1]))) return false;
    plain_line(p, e, end, at_colon);
    return true;
}

// The text of a plain scalar on one line from q, up to ": " (`at_colon`),
// " #" or the end of the line; `end` is past its last character. Returns
// where the scan stopped.
std::size_t Reader::plain_line(std::size_t q, std::size_t e, std::size_t& end, bool& at_colon) const {
    at_colon = false;
    end = q;
    while (q < e) {
        if (s_[q] == ' ') {
            q = skip_spaces(q);
            if (q == e || s_[q] == '#') break;
            continue;
        }
        if (s_[q] == ':' && blank_or_end(s_[q + 1])) {
            at_colon = true;
            break;
        }
        ++q;
        end = q;
    }
    return q;
}

// The lines that continue a plain scalar whose first line ended at
// `first_end` (at the end of a line, not at a comment): those indented more
// than `ctx_indent`. Folded as the scanner folds: one break is a space, each
// further empty line a "\n".
[[gnu::always_inline]] inline bool Reader::fold_plain(std::size_t first, std::size_t first_end,
                                                     std::size_t first_line_end, long ctx_indent, Text& out) {
    std::size_t p = first_line_end;  // at '\n' or the end
    for (;;) {
        if (s_[p] != '\n') return true;
        // Count the empty lines, find the next line with text.
        std::size_t breaks = 0;
        std::size_t q = p + 1;
        std::size_t start = q;
        for (;;) {
            if (marker(q) && q == start) return true;
            std::size_t t = skip_spaces(q);
            if (s_[t] == '\n') {
                ++breaks;
                q = start = t + 1;
                continue;
            }
            q = t;
            break;
        }
        if (s_[q] == 0 || s_[q] == '#' || static_cast<long>(q - start) <= ctx_indent) return true;
        // A continuation line: its text up to ": " (an error: declined),
        // " #" or the end.
        line_start_ = start;
        std::size_t e = line_end(q);
        std::size_t end;
        bool at_colon;
        std::size_t r = plain_line(q, e, end, at_colon);
        if (at_colon) return false;
        if (out.empty()) out.assign(s_.data() + first, first_end - first);
        if (breaks == 0) {
            out.push_back(' ');
        } else {
            out.append(breaks, '\n');
        }
        out.append(s_.data() + q, end - q);
        pos_ = next_line(e);
        if (r != e) return true;  // a comment ends it
        p = e;
    }
}

// A literal ('|') or folded ('>') block scalar whose indicator is at p,
// read as the scanner reads it; pos_ moves to the line that ends it.
bool Reader::block_scalar(std::size_t p, long ctx_indent, Text& out) {
    bool folded = s_[p] == '>';
    std::size_t q = p + 1;
    int chomping = 0;  // -1 strip, 1 keep
    long increment = 0;
    auto chomp = [&] {
        if (s_[q] == '+' || s_[q] == '-') chomping = s_[q++] == '+' ? 1 : -1;
    };
    // An indentation indicator of 0 is an error: -1.
    auto increment_digit = [&] {
        if (digit(s_[q])) increment = s_[q] == '0' ? -1 : static_cast<long>(s_[q] - '0');
        if (digit(s_[q])) ++q;
    };
    if (s_[q] == '+' || s_[q] == '-') {
        chomp();
        increment_digit();
    } else {
        increment_digit();
        chomp();
    }
    if (increment < 0 || (s_[q] != ' ' && s_[q] != '\n' && s_[q] != 0)) return false;
    // Then only a comment on the indicator's line.
    q = skip_spaces(q);
    if (s_[q] == '#') {
        if (s_[q - 1] != ' ') return false;
        while (s_[q] != '\n' && s_[q] != 0) ++q;
    }
    if (s_[q] != '\n' && s_[q] != 0) return false;
    if (s_[q] == '\n') line_start_ = ++q;
    auto col = [&] { return static_cast<long>(q - line_start_); };
    long indent = std::max(ctx_indent + 1, 1L);
    std::size_t breaks = 0;
    auto scan_breaks = [&] {
        breaks = 0;
        while (col() < indent && s_[q] == ' ') ++q;
        while (s_[q] == '\n') {
            ++breaks;
            line_start_ = ++q;
            while (col() < indent && s_[q] == ' ') ++q;
        }
    };
    if (increment == 0) {
        long max_indent = 0;
        while (s_[q] == ' ' || s_[q] == '\n') {
            if (s_[q] == '\n') {
                ++breaks;
                line_start_ = ++q;
            } else {
                ++q;
                max_indent = std::max(max_indent, col());
            }
        }
        indent = std::max(indent, max_indent);
    } else {
        indent = indent + increment - 1;
        scan_breaks();
    }
    bool line_break = false;
    while (col() == indent && s_[q] != 0) {
        out.append(breaks, '\n');
        bool leading_non_space = s_[q] != ' ';
        std::size_t e = line_end(q);
        out.append(s_.data() + q, e - q);
        q = e;
        line_break = s_[q] == '\n';
        if (line_break) line_start_ = ++q;
        scan_breaks();
        if (col() == indent && s_[q] != 0) {
            if (folded && line_break && leading_non_space && s_[q] != ' ') {
                if (!breaks) out.push_back(' ');
            } else if (line_break) {
                out.push_back('\n');
            }
        } else {
            break;
        }
    }
    if (chomping != -1 && line_break) out.push_back('\n');
    if (chomping == 1) out.append(breaks, '\n');
    // The main loop goes on with the line the scalar stopped at (past the
    // indicator's line).
    pos_ = std::max(pos_, line_start_);
    return true;
}

// ---- nodes and lines ---------------------------------------------------------------

// A node starting at p: a new collection, an alias or a scalar. Properties
// (a tag, an anchor) and compact nesting ("- - x") move p on and read on
// from there.
bool Reader::node(std::size_t p, std::size_t e, Ctx ctx, long ctx_indent, const Text* anchor, bool above) {
    Text name;  // an anchor given on this line
    for (;;) {
        // A mapping whose first key is tagged starts at the tag.
        long col = column(tag_ != Std::None ? tag_start_ : p);
        Char c = s_[p];
        const Text* collection_anchor = above ? anchor : nullptr;
        if (anchor && !above && ctx == Ctx::Line) return false;
        if (c == '!') {
            if (tag_ != Std::None) return false;
            std::size_t q = p;
            Std tag = tag_at(q);
            q = skip_spaces(q);
            // A tagged empty node, or one on the lines below, declines.
            if (tag == Std::None || q == e || s_[q] == '#') return false;
            tag_ = tag;
            tag_start_ = p;
            p = q;
            continue;
        }
        if (dash(p)) {
            if (ctx == Ctx::Colon || (anchor && !above) || tag_ != Std::None) return false;
            if (!open(false, col, false, collection_anchor)) return false;
            stack_.back().awaiting = true;
            std::size_t q = p + 1;
            if (rest_empty(q, e)) return true;
            // The entry's node on the same line: "- - x", "- k: v".
            p = skip_spaces(q);
            ctx = Ctx::Dash;
            ctx_indent = col;
            anchor = nullptr;
            above = false;
            continue;
        }
        if (c == '&') {
            if (anchor || ctx == Ctx::Line || stack_.empty()) return false;
            std::size_t q = p + 1;
            if (!anchor_name(q, e, name)) return false;
            if (rest_empty(q, e)) {
                // The anchored node is on the lines below (or is an empty
                // null). A tag read before the anchor is the node's too: the
                // reader does not carry it there.
                if (tag_ != Std::None) return false;
                stack_.back().anchor = name;
                return !name.empty();
            }
            p = skip_spaces(q);
            anchor = &name;
            above = false;
            continue;
        }
        if (c == '*') {
            Text alias;
            std::size_t q = p + 1;
            if (anchor || tag_ != Std::None || !anchor_name(q, e, alias) || !rest_empty(q, e)) return false;
            Ref node = anchored(alias);
            return node && deliver(std::move(node), nullptr);
        }
        std::size_t end;
        if (c == '[' || c == '{') {
            std::size_t q = p;
            if (!collection_tag_fits(c) || !flow(q, anchor)) return false;
            // Only a comment may follow; a ':' would make it a key.
            e = line_end(q);
            if (!rest_empty(q, e)) return false;
            pos_ = next_line(e);
            return true;
        }
        if (c == '\'' || c == '"') {
            Text text;
            bool multiline;
            if (!quoted(p, end, text, multiline)) return false;
            e = line_end(end);
            std::size_t q = skip_spaces(end);
            if (s_[q] == ':' && blank_or_end(s_[q + 1])) {
                if (multiline || ctx == Ctx::Colon || (anchor && !above)) return false;
                if (!open(true, col, false, collection_anchor)) return false;
                return entry(p, e);
            }
            if (!rest_empty(end, e)) return false;
            if (multiline) pos_ = next_line(e);
            return deliver(scalar(text, false), anchor);
        }
        if (c == '|' || c == '>') {
            Text text;
            return block_scalar(p, ctx_indent, text) && deliver(scalar(text, false), anchor);
        }
        bool at_colon;
        if (!plain(p, e, end, at_colon)) return false;
        if (at_colon) {
            if (ctx == Ctx::Colon || (anchor && !above)) return false;
            if (!open(true, col, false, collection_anchor)) return false;
            return entry(p, e);
        }
        Text folded;
        if (skip_spaces(end) == e && !fold_plain(p, end, e, ctx_indent, folded)) return false;
        if (!folded.empty()) return deliver(scalar(folded, true), anchor);
        return deliver(scalar(s_.data() + p, end - p, true), anchor);
    }
}

// One line with text, p at its first non-space character.
[[gnu::always_inline]] inline bool Reader::line(std::size_t p, std::size_t e) {
    long col = column(p);
    while (!stack_.empty()) {
        Frame& f = stack_.back();
        if (f.awaiting) {
            if (col > f.indent) break;
            if (f.is_map && col == f.indent && dash(p)) break;  // an indentless sequence
            Text anchor = f.anchor;
            if (!deliver(Ref::borrow(Py_None), anchor.empty() ? nullptr : &anchor)) return false;
        }
        if (col < f.indent || (f.indentless && col == f.indent && !dash(p))) {
            if (!close()) return false;
            continue;
        }
        break;
    }
    if (stack_.empty()) {
        if (has_root_) return false;
        return node(p, e, Ctx::Line, -1, nullptr);
    }
    Frame& f = stack_.back();
    if (f.awaiting) {
        if (col > f.indent) {
            Text anchor = f.anchor;
            f.anchor.clear();
            return node(p, e, Ctx::Line, f.indent, anchor.empty() ? nullptr : &anchor, true);
        }
        Text anchor = f.anchor;
        f.anchor.clear();
        if (!open(false, col, true, anchor.empty() ? nullptr : &anchor)) return false;
    } else if (col != f.indent) {
        return false;
    }
    Frame& top = stack_.back();
    if (top.is_map) return !dash(p) && entry(p, e);
    if (!dash(p)) return false;
    top.awaiting = true;
    std::size_t q = p + 1;
    if (rest_empty(q, e)) return true;
    return node(skip_spaces(q), e, Ctx::Dash, top.indent, nullptr);
}

[[gnu::always_inline]] inline Ref Reader::read() {
    bool started = false;  // a "---" or any text seen
    bool ended = false;    // a "..." seen
    while (s_[pos_] != 0) {
        line_start_ = pos_;
        std::size_t e = line_end(pos_);
        std::size_t p = skip_spaces(pos_);
        pos_ = next_line(e);
        if (p == e || s_[p] == '#') continue;
        if (ended) return {};
        if (p == line_start_ && marker(p)) {
            std::size_t rest = p + 3;
            if (s_[p] == '.') {
                if (!started || !rest_empty(rest, e)) return {};
                ended = true;
                continue;
            }
            if (started) return {};
            started = true;
            if (rest_empty(rest, e)) continue;
            // "--- node": a root scalar on the marker's line.
            if (!node(skip_spaces(rest), e, Ctx::Colon, -1, nullptr)) return {};
            continue;
        }
        started = true;
        std::size_t at = line_start_;
        // Every line moves the reading on: a line read again would be read
        // forever.
        if (!line(p, e) || pos_ <= at) return {};
    }
    while (!stack_.empty()) {
        if (!close()) return {};
    }
    if (!has_root_) return Ref::borrow(Py_None);
    return root_;
}

}  // namespace yaml

Ref read_yaml(PyObject* text) {
    if (!yaml::scalars_ready()) return {};
    Ref result;
    // Running out of memory for the reader's own tables declines too: the
    // original then meets the shortage itself.
    try {
        yaml::Text s;
        Py_ssize_t n = PyUnicode_GET_LENGTH(text);
        bool ok;
        switch (PyUnicode_KIND(text)) {
            case PyUnicode_1BYTE_KIND: ok = yaml::load_text(PyUnicode_1BYTE_DATA(text), n, s); break;
            case PyUnicode_2BYTE_KIND: ok = yaml::load_text(PyUnicode_2BYTE_DATA(text), n, s); break;
            default: ok = yaml::load_text(PyUnicode_4BYTE_DATA(text), n, s); break;
        }
        if (!ok) return {};
        yaml::Reader reader(std::move(s), PyThreadState_Get()->py_recursion_remaining);
        result = reader.read();
    } catch (const std::bad_alloc&) {
        result = nullptr;
    }
    // Whatever failed while building (a date out of range, an int too long
    // to convert) is the original's to report, in its own words.
    if (!result) PyErr_Clear();
    return result;
}

}  // namespace tavik::dicts
