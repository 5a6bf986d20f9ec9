// The flow styles: collections in brackets ("[...]", "{...}") and the
// quoted scalars, which block and flow context share. Inside brackets
// indentation does not count and entries may span lines; collections nest
// to any depth within the reader's limit, a nested one being one more frame
// on the reader's stack, read by the same loop as its parent. Keys are
// scalars on one line; a sequence entry that is a "k: v" pair, explicit "?"
// keys and an anchor or comment not set off by a space decline.
#include "dicts/yaml_document.hpp"

#include <utility>

namespace tavik::dicts::yaml {

// ---- quoted scalars ------------------------------------------------------------

// A quoted scalar from p (at its quote) to `end` (past the closing quote),
// folded over lines.
bool Reader::quoted(std::size_t p, std::size_t& end, Text& out, bool& multiline) {
    bool dbl = s_[p] == '"';
    Char quote = s_[p];
    multiline = false;
    std::size_t q = p + 1;
    for (;;) {
        Char c = s_[q];
        if (c == 0) return false;
        if (c == quote) {
            if (!dbl && s_[q + 1] == '\'') {
                out.push_back('\'');
                q += 2;
                continue;
            }
            end = q + 1;
            return true;
        }
        if (c == ' ' || c == '\n') {
            // Spaces then a break fold; spaces elsewhere are kept.
            std::size_t t = skip_spaces(q);
            if (s_[t] != '\n') {
                out.append(s_.data() + q, t - q);
                q = t;
                continue;
            }
            q = t;
            std::size_t breaks = 0;
            for (;;) {
                ++q;  // past '\n'
                multiline = true;
                line_start_ = q;
                if (marker(q)) return false;
                q = skip_spaces(q);
                if (s_[q] != '\n') break;
                ++breaks;
            }
            if (breaks == 0) {
                out.push_back(' ');
            } else {
                out.append(breaks, '\n');
            }
            continue;
        }
        if (dbl && c == '\\') {
            Char e = s_[q + 1];
            q += 2;
            Char r;
            switch (e) {
                case '0': r = 0; break;
                case 'a': r = 7; break;
                case 'b': r = 8; break;
                case 't': r = 9; break;
                case 'n': r = 10; break;
                case 'v': r = 11; break;
                case 'f': r = 12; break;
                case 'r': r = 13; break;
                case 'e': r = 27; break;
                case ' ': r = ' '; break;
                case '"': r = '"'; break;
                case '/': r = '/'; break;
                case '\\': r = '\\'; break;
                case 'N': r = 0x85; break;
                case '_': r = 0xA0; break;
                case 'L': r = 0x2028; break;
                case 'P': r = 0x2029; break;
                case 'x': case 'u': case 'U': {
                    int len = e == 'x' ? 2 : e == 'u' ? 4 : 8;
                    Char code = 0;
                    for (int k = 0; k < len; ++k) {
                        Char h = s_[q + k];
                        int v = digit(h) ? int(h - '0') : (h >= 'a' && h <= 'f') ? int(h - 'a' + 10)
                                : (h >= 'A' && h <= 'F') ? int(h - 'A' + 10) : -1;
                        if (v < 0) return false;
                        code = code * 16 + static_cast<Char>(v);
                    }
                    if (code > 0x10FFFF) return false;
                    q += len;
                    r = code;
                    break;
                }
                case '\n': {
                    // An escaped break: the lines join with no space; empty
                    // lines after it still give "\n" each.
                    multiline = true;
                    for (;;) {
                        line_start_ = q;
                        if (marker(q)) return false;
                        q = skip_spaces(q);
                        if (s_[q] != '\n') break;
                        out.push_back('\n');
                        ++q;
                    }
                    continue;
                }
                default:
                    return false;
            }
            out.push_back(r);
            continue;
        }
        out.push_back(c);
        ++q;
    }
}

// ---- flow collections ----------------------------------------------------------

// Spaces, line breaks and comments; false at a document marker (an error
// inside a collection).
bool Reader::flow_space(std::size_t& q) {
    for (;;) {
        Char c = s_[q];
        if (c == ' ') {
            ++q;
        } else if (c == '\n') {
            line_start_ = ++q;
            if (marker(q)) return false;
        } else if (c == '#') {
            if (q != line_start_ && s_[q - 1] != ' ') return false;
            while (s_[q] != '\n' && s_[q] != 0) ++q;
        } else {
            return true;
        }
    }
}

// A plain scalar in a flow collection: chunks up to a flow indicator, ": ",
// " #" or a document marker, folded over lines.
bool Reader::flow_plain(std::size_t& q, Text& out, bool& multiline) {
    Char c = s_[q];
    bool indicator = c == '-' || c == '?' || c == ':' || flow_stop(c) || c == '#' || c == '&' || c == '*' ||
                     c == '!' || c == '|' || c == '>' || c == '\'' || c == '"' || c == '%' || c == '@' || c == '`';
    if (indicator && !(c == '-' && !blank_or_end(s_[q + 1]) && !flow_stop(s_[q + 1]))) return false;
    multiline = false;
    std::size_t breaks = 0, spaces_at = 0, spaces = 0;
    bool first = true;
    for (;;) {
        std::size_t start = q;
        while (!(s_[q] == ' ' || s_[q] == '\n' || s_[q] == 0 || flow_stop(s_[q]) || s_[q] == '?' ||
                 (s_[q] == ':' && (blank_or_end(s_[q + 1]) || flow_stop(s_[q + 1]))))) {
            ++q;
        }
        if (s_[q] == '?') return false;
        if (q == start) break;
        if (!first) {
            if (breaks == 0 && spaces) {
                out.append(s_.data() + spaces_at, spaces);
            } else if (breaks == 1) {
                out.push_back(' ');
            } else if (breaks > 1) {
                out.append(breaks - 1, '\n');
            }
        }
        first = false;
        out.append(s_.data() + start, q - start);
        // The white space after the chunk.
        breaks = 0;
        spaces_at = q;
        q = skip_spaces(q);
        spaces = q - spaces_at;
        while (s_[q] == '\n') {
            ++breaks;
            line_start_ = ++q;
            if (marker(q)) return false;
            q = skip_spaces(q);
        }
        if (breaks) multiline = true;
        if (s_[q] == '#') break;
    }
    return true;
}

// A key of a flow mapping, with what follows it up to its ':' (or to the ','
// or '}' of a key without a value).
bool Reader::flow_key(std::size_t& q) {
    Frame& f = stack_.back();
    std::size_t start = q;
    std::size_t line = line_start_;
    if (!key_tag(q)) return false;
    Text text;
    bool multiline;
    bool plain_key = !(s_[q] == '\'' || s_[q] == '"');
    if (!plain_key) {
        std::size_t end;
        if (!quoted(q, end, text, multiline) || multiline) return false;
        q = end;
    } else if (!flow_plain(q, text, multiline) || multiline) {
        return false;
    }
    if (line_start_ != line || !set_key(text, plain_key)) return false;
    q = skip_spaces(q);
    // The ':' of a simple key: on the key's line, not too far from its start.
    if (s_[q] == ':') {
        if (line_start_ != line || q - start > 1000) return false;
        ++q;
        f.state = Flow::Value;
    } else {
        f.state = Flow::Colon;
    }
    f.awaiting = true;
    return true;
}

// A value of a flow collection at q.
bool Reader::flow_item(std::size_t& q) {
    Text anchor_text;
    const Text* anchor = nullptr;
    // Anchor and tag, in either order.
    for (int round = 0; round < 2; ++round) {
        if (s_[q] == '&' && !anchor) {
            ++q;
            if (!anchor_name(q, line_end(q), anchor_text, true)) return false;
            anchor = &anchor_text;
        } else if (s_[q] == '!' && tag_ == Std::None) {
            tag_ = tag_at(q);
            if (tag_ == Std::None) return false;
        } else {
            break;
        }
        if (!flow_space(q)) return false;
    }
    Frame& f = stack_.back();
    Char c = s_[q];
    if (c == '[' || c == '{') {
        if (!collection_tag_fits(c)) return false;
        f.state = Flow::Sep;  // when the nested collection ends
        return open_flow(q, anchor);
    }
    if (tag_ != Std::None && (c == '*' || c == ',' || c == ']' || c == '}')) return false;
    Ref value;
    if (c == '*') {
        Text name;
        ++q;
        if (anchor || !anchor_name(q, line_end(q), name, true)) return false;
        value = anchored(name);
        if (!value) return false;
    } else if (c == '\'' || c == '"') {
        Text text;
        bool multiline;
        std::size_t end;
        if (!quoted(q, end, text, multiline)) return false;
        q = end;
        value = scalar(text, false);
    } else if (f.is_map && (c == ',' || c == '}')) {
        value = Ref::borrow(Py_None);  // "k:" with no value
    } else {
        Text text;
        bool multiline;
        if (!flow_plain(q, text, multiline)) return false;
        value = scalar(text, true);
    }
    if (!f.is_map) {
        // "[k: v]" is a mapping inside the sequence.
        if (s_[skip_spaces(q)] == ':') return false;
    }
    f.state = Flow::Sep;
    return deliver(std::move(value), anchor);
}

// A new flow collection at q ('[' or '{'), on top of the stack; q moves
// past its bracket.
bool Reader::open_flow(std::size_t& q, const Text* anchor) {
    bool is_map = s_[q] == '{';
    if (!open(is_map, -1, false, anchor)) return false;
    stack_.back().state = is_map ? Flow::Key : Flow::Value;
    ++q;
    return true;
}

// The flow collection at q, nested ones included, to past its closing
// bracket: whatever is innermost takes the next character.
bool Reader::flow(std::size_t& q, const Text* anchor) {
    std::size_t base = stack_.size();
    if (!open_flow(q, anchor)) return false;
    // Each round takes a character or changes the state; a text cannot need
    // more rounds than this.
    std::size_t rounds = 0, limit = 3 * s_.size() + 8;
    // A nested collection pushes its frame and the loop goes on with it.
    while (stack_.size() > base) {
        if (++rounds > limit || !flow_space(q)) return false;
        Frame& f = stack_.back();
        Char c = s_[q];
        Char closing = f.is_map ? '}' : ']';
        switch (f.state) {
            case Flow::Key:
            case Flow::Value:
                if (c == closing || c == ',') {
                    if (f.is_map && f.state == Flow::Value) {
                        // "{k: }" or "{k:, ...}": a null value.
                        if (!deliver(Ref::borrow(Py_None), nullptr)) return false;
                        f.state = Flow::Sep;
                        continue;
                    }
                    // "[,", "[a,,", "{,": an entry missing. "[]", "[a,]" end.
                    if (c == ',') return false;
                    if (!pop()) return false;
                    ++q;
                    continue;
                }
                if (c == ']' || c == '}' || c == '?' || c == ':' || c == 0) return false;
                if (f.is_map && f.state == Flow::Key) {
                    if (c == '*' || c == '&' || c == '[' || c == '{') return false;
                    if (c == '!' && !(s_[q + 1] == '!')) return false;
                    if (!flow_key(q)) return false;
                } else if (!flow_item(q)) {
                    return false;
                }
                break;
            case Flow::Colon:
                // A ':' here is on another line than its key: no simple key.
                if (c == ',' || c == closing) {
                    if (!deliver(Ref::borrow(Py_None), nullptr)) return false;
                    f.state = Flow::Sep;
                } else {
                    return false;
                }
                break;
            case Flow::Sep:
                if (c == ',') {
                    ++q;
                    f.state = f.is_map ? Flow::Key : Flow::Value;
                } else if (c == closing) {
                    if (!pop()) return false;
                    ++q;
                } else {
                    return false;
                }
                break;
        }
    }
    return true;
}

}  // namespace tavik::dicts::yaml
