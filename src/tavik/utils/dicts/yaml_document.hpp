// The structure of the native YAML reader, shared by its two files: the
// document with its lines, indentation, block collections and scalars, and
// anchors (yaml_reader.cpp); the flow collections and quoted scalars
// (yaml_flow.cpp). What a scalar's text becomes is yaml_scalars'.
//
// One pass over the text and one stack entry per open collection: the
// nesting lives in `stack_`, never in native calls, so no text can run the
// native stack out.
#pragma once

#include "dicts/yaml_scalars.hpp"

#include <cstddef>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tavik::dicts::yaml {

inline bool blank_or_end(Char c) { return c == ' ' || c == '\n' || c == 0; }
inline bool flow_stop(Char c) { return c == ',' || c == '[' || c == ']' || c == '{' || c == '}'; }

// Where a node starts: on a line of its own, after "- ", or after "key: ".
enum class Ctx { Line, Dash, Colon };

// Where a flow collection stands: before a key (mappings), before the ':'
// of a key, before a value, after an entry.
enum class Flow { Key, Colon, Value, Sep };

struct Frame {
    bool is_map;
    Flow state = Flow::Value;
    bool indentless = false;
    bool awaiting = false;   // a key or dash read, its value still to come
    bool merge_key = false;  // the awaited value is merged in
    bool merged = false;     // pairs were merged in: rebuilt at the end
    long indent = 0;
    PyObject* obj = nullptr;  // held by its parent or the root, or by `held`
    Ref held;                 // a merge value: given to its mapping when finished
    Ref key;
    Text anchor;  // given to the awaited value
    std::vector<std::pair<Ref, Ref>> merges;
};

class Reader {
public:
    // `text` ends in NULs, so that short look-aheads need no bounds.
    // `room`: the Python frames that the real safe_load would have.
    Reader(Text text, long room);

    // The document, or an empty Ref: declined (an error may be set).
    inline Ref read();

private:
    Text s_;
    std::size_t pos_ = 0;         // start of the next line to read
    std::size_t line_start_ = 0;  // start of the line being read
    std::vector<Frame> stack_;
    std::unordered_map<Text, Ref> anchors_;
    Ref root_;
    bool has_root_ = false;
    std::size_t max_depth_;
    // The tag of the node being read, until its scalar, flow collection or
    // key takes it; a node that cannot take it declines, and a decline ends
    // the reading, so no tag outlives its node.
    Std tag_ = Std::None;
    std::size_t tag_start_ = 0;

    // ---- positions (a position is an index into s_) ----
    std::size_t line_end(std::size_t p) const {
        while (s_[p] != '\n' && s_[p] != 0) ++p;
        return p;
    }
    std::size_t next_line(std::size_t e) const { return e + (s_[e] == '\n' ? 1 : 0); }
    long column(std::size_t p) const { return static_cast<long>(p - line_start_); }
    std::size_t skip_spaces(std::size_t p) const {
        while (s_[p] == ' ') ++p;
        return p;
    }
    // Nothing but spaces, then the end of the line or a comment.
    bool rest_empty(std::size_t p, std::size_t e) const {
        if (p == e) return true;
        if (s_[p] != ' ') return false;
        p = skip_spaces(p);
        return p == e || s_[p] == '#';
    }
    bool dash(std::size_t p) const { return s_[p] == '-' && blank_or_end(s_[p + 1]); }
    bool marker(std::size_t p) const {
        return (s_[p] == '-' || s_[p] == '.') && s_[p + 1] == s_[p] && s_[p + 2] == s_[p] && blank_or_end(s_[p + 3]);
    }

    // ---- the document, block collections and scalars (yaml_reader.cpp) ----
    // Those called once, from that file, are defined inline there (read,
    // line and fold_plain forced): the compiler folds a function called once
    // into its caller only when no other file can call it, which kept the
    // reader of one file 2% faster than the same code apart.
    inline bool line(std::size_t p, std::size_t e);
    // `above`: the anchor was given on an earlier line, so it names the
    // collection that starts here; on the same line it would name a key.
    bool node(std::size_t p, std::size_t e, Ctx ctx, long ctx_indent, const Text* anchor, bool above = false);
    bool entry(std::size_t p, std::size_t e);
    inline bool value_after_colon(std::size_t p, std::size_t e);
    bool key_tag(std::size_t& p);
    bool set_key(const Text& text, bool plain_key);
    Std tag_at(std::size_t& q) const;
    // Whether the tag being read (taken) allows the collection that
    // `bracket` ('[' or '{') opens.
    bool collection_tag_fits(Char bracket) {
        Std tag = std::exchange(tag_, Std::None);
        return tag == Std::None || tag == (bracket == '[' ? Std::Seq : Std::Map);
    }
    // The node anchored as `name`, or an empty Ref.
    Ref anchored(const Text& name) const {
        auto found = anchors_.find(name);
        return found == anchors_.end() ? Ref() : found->second;
    }
    Ref scalar(const Char* text, std::size_t n, bool plain);
    Ref scalar(const Text& text, bool plain) { return scalar(text.data(), text.size(), plain); }
    bool anchor_name(std::size_t& p, std::size_t e, Text& name, bool flow = false);
    bool open(bool is_map, long indent, bool indentless, const Text* anchor);
    bool deliver(Ref value, const Text* anchor);
    bool close();
    bool pop();
    bool finish(Frame& f);
    bool merge(Frame& f, PyObject* value);
    bool is_open(PyObject* obj) const;

    // `end` is where the scalar's text ends.
    bool plain(std::size_t p, std::size_t e, std::size_t& end, bool& at_colon);
    std::size_t plain_line(std::size_t q, std::size_t e, std::size_t& end, bool& at_colon) const;
    // `out` starts empty and receives the first line (first to first_end)
    // only when another line continues it.
    inline bool fold_plain(std::size_t first, std::size_t first_end, std::size_t first_line_end, long ctx_indent,
                    Text& out);
    bool block_scalar(std::size_t p, long ctx_indent, Text& out);

    // ---- flow collections and quoted scalars (yaml_flow.cpp) ----
    bool quoted(std::size_t p, std::size_t& end, Text& out, bool& multiline);
    bool flow(std::size_t& q, const Text* anchor);
    bool open_flow(std::size_t& q, const Text* anchor);
    bool flow_space(std::size_t& q);
    bool flow_item(std::size_t& q);
    bool flow_key(std::size_t& q);
    bool flow_plain(std::size_t& q, Text& out, bool& multiline);
};

}  // namespace tavik::dicts::yaml
