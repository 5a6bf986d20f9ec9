// The reader. What it answers: one document (an optional "---" line first,
// an optional "..." line last) of block mappings and sequences (indentless
// sequences as mapping values, compact nesting after "- "), flow sequences
// and mappings, plain scalars (folded over lines), single- and double-quoted
// scalars (escapes, folded over lines), literal and folded block scalars,
// comments, anchors and aliases, merge keys, and the standard tags of
// scalars, mappings and sequences. Plain scalars resolve as the safe loader's
// implicit resolvers and constructors do. Everything else declines: other
// tags, directives, explicit "?" keys, tabs, line breaks other than "\n" and
// "\r\n", a byte order mark, and every text that safe_load rejects.
//
// Linear: one pass over the text, one stack entry per open collection, no
// recursion.
#include "dicts/yaml_reader.hpp"

#include "dicts/yaml_guard.hpp"

#include <datetime.h>

#include <cstdint>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>
#include <algorithm>
#include <charconv>
#include <vector>

namespace tavik::dicts {

namespace {

using Text = std::u32string;
using Char = char32_t;

// ---- characters -----------------------------------------------------------------

bool digit(Char c) { return c >= '0' && c <= '9'; }
bool blank_or_end(Char c) { return c == ' ' || c == '\n' || c == 0; }

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

Ref make_str(const Char* s, std::size_t n) {
    return Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, s, static_cast<Py_ssize_t>(n)));
}

// ---- implicit resolution of plain scalars ------------------------------------------

bool word(const Char* s, std::size_t n, const char* w) {
    for (std::size_t i = 0; i < n; ++i) {
        if (!w[i] || s[i] != static_cast<Char>(w[i])) return false;
    }
    return w[n] == 0;
}

bool any_word(const Char* s, std::size_t n, std::initializer_list<const char*> words) {
    for (const char* w : words) {
        if (word(s, n, w)) return true;
    }
    return false;
}

// `[0-9_]*` from i.
std::size_t digits_(const Char* s, std::size_t i) {
    while (digit(s[i]) || s[i] == '_') ++i;
    return i;
}

// `(?::[0-5]?[0-9])+` from i (at a ':'); 0 when it does not match.
std::size_t sexagesimal(const Char* s, std::size_t i) {
    if (s[i] != ':') return 0;
    while (s[i] == ':') {
        ++i;
        if (!digit(s[i])) return 0;
        // Two digits only when the first is 0-5; then whatever follows must
        // not be a digit for the pattern to go on, so this is the only way.
        if (digit(s[i + 1])) {
            if (s[i] > '5') return 0;
            i += 2;
        } else {
            i += 1;
        }
    }
    return i;
}

// `(?:[eE][-+][0-9]+)?` from i.
std::size_t exponent(const Char* s, std::size_t i) {
    if ((s[i] == 'e' || s[i] == 'E') && (s[i + 1] == '-' || s[i + 1] == '+') && digit(s[i + 2])) {
        i += 3;
        while (digit(s[i])) ++i;
    }
    return i;
}

// The value is followed by NULs, so reading one past n is safe.
bool is_float(const Char* s, std::size_t n) {
    if (n == 4 && s[0] == '.' && any_word(s + 1, 3, {"nan", "NaN", "NAN"})) return true;
    std::size_t j = (s[0] == '-' || s[0] == '+') ? 1 : 0;
    if (n == j + 4 && s[j] == '.' && any_word(s + j + 1, 3, {"inf", "Inf", "INF"})) return true;
    if (s[0] == '.') return digit(s[1]) && exponent(s, digits_(s, 2)) == n;
    if (!digit(s[j])) return false;
    std::size_t i = digits_(s, j + 1);
    if (s[i] == '.') return exponent(s, digits_(s, i + 1)) == n;
    i = sexagesimal(s, i);
    return i && s[i] == '.' && digits_(s, i + 1) == n;
}

bool all_of(const Char* s, std::size_t from, std::size_t n, bool (*ok)(Char)) {
    if (from >= n) return false;
    for (std::size_t i = from; i < n; ++i) {
        if (!ok(s[i])) return false;
    }
    return true;
}

bool is_int(const Char* s, std::size_t n) {
    std::size_t j = (s[0] == '-' || s[0] == '+') ? 1 : 0;
    if (j == n) return false;
    if (s[j] == '0') {
        if (n == j + 1) return true;
        if (s[j + 1] == 'b') return all_of(s, j + 2, n, [](Char c) { return c == '0' || c == '1' || c == '_'; });
        if (s[j + 1] == 'x') {
            return all_of(s, j + 2, n, [](Char c) {
                return digit(c) || c == '_' || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
            });
        }
        return all_of(s, j + 1, n, [](Char c) { return (c >= '0' && c <= '7') || c == '_'; });
    }
    if (s[j] < '1' || s[j] > '9') return false;
    std::size_t i = digits_(s, j + 1);
    if (i == n) return true;
    return sexagesimal(s, i) == n;
}

// The parts of a timestamp; `hour` < 0 for a date.
struct Stamp {
    int year, month, day;
    int hour = -1, minute = 0, second = 0, fraction = 0;
    bool has_tz = false, utc = false;
    int tz_sign = 1, tz_hour = 0, tz_minute = 0;
};

// min_digits to max_digits digits from i; the value, or -1.
int number(const Char* s, std::size_t& i, int min_digits, int max_digits) {
    int v = 0, k = 0;
    while (k < max_digits && digit(s[i])) {
        v = v * 10 + static_cast<int>(s[i] - '0');
        ++i;
        ++k;
    }
    return k >= min_digits ? v : -1;
}

// The resolver's timestamp pattern, read into parts as the constructor's
// pattern reads them.
bool is_timestamp(const Char* s, std::size_t n, Stamp& t) {
    std::size_t i = 0;
    t.year = number(s, i, 4, 4);
    if (t.year < 0 || s[i] != '-') return false;
    ++i;
    std::size_t month_at = i;
    t.month = number(s, i, 1, 2);
    if (t.month < 0 || s[i] != '-') return false;
    bool two = i - month_at == 2;
    ++i;
    std::size_t day_at = i;
    t.day = number(s, i, 1, 2);
    if (t.day < 0) return false;
    two = two && i - day_at == 2;
    if (i == n) return two;  // a date: two digits each
    if (s[i] == 'T' || s[i] == 't') {
        ++i;
    } else if (s[i] == ' ') {
        while (s[i] == ' ') ++i;
    } else {
        return false;
    }
    t.hour = number(s, i, 1, 2);
    if (t.hour < 0 || s[i] != ':') return false;
    ++i;
    t.minute = number(s, i, 2, 2);
    if (t.minute < 0 || s[i] != ':') return false;
    ++i;
    t.second = number(s, i, 2, 2);
    if (t.second < 0) return false;
    if (s[i] == '.') {
        ++i;
        // The first six digits, padded with zeros.
        int k = 0;
        while (digit(s[i])) {
            if (k < 6) t.fraction = t.fraction * 10 + static_cast<int>(s[i] - '0');
            ++k;
            ++i;
        }
        for (; k < 6; ++k) t.fraction *= 10;
    }
    while (s[i] == ' ') ++i;
    if (s[i] == 'Z') {
        t.has_tz = t.utc = true;
        ++i;
    } else if (s[i] == '-' || s[i] == '+') {
        t.has_tz = true;
        t.tz_sign = s[i] == '-' ? -1 : 1;
        ++i;
        t.tz_hour = number(s, i, 1, 2);
        if (t.tz_hour < 0) return false;
        if (s[i] == ':') {
            ++i;
            t.tz_minute = number(s, i, 2, 2);
            if (t.tz_minute < 0) return false;
        }
    } else if (i != n && s[i - 1] == ' ') {
        return false;
    }
    return i == n;
}

Ref make_timestamp(const Stamp& t) {
    if (t.hour < 0) return Ref::steal(PyDate_FromDate(t.year, t.month, t.day));
    Ref tz = Ref::borrow(Py_None);
    if (t.utc) {
        tz = Ref::borrow(PyDateTime_TimeZone_UTC);
    } else if (t.has_tz) {
        // timedelta(hours=h, minutes=m), negated for "-"
        int seconds = t.tz_sign * (t.tz_hour * 3600 + t.tz_minute * 60);
        Ref delta = Ref::steal(PyDelta_FromDSU(0, seconds, 0));
        tz = delta ? Ref::steal(PyTimeZone_FromOffset(delta.get())) : Ref();
        if (!tz) return {};
    }
    return Ref::steal(PyDateTimeAPI->DateTime_FromDateAndTime(t.year, t.month, t.day, t.hour, t.minute, t.second,
                                                              t.fraction, tz.get(), PyDateTimeAPI->DateTimeType));
}

// The value without '_' (and lower-cased, for floats), in ASCII.
std::string cleaned(const Char* s, std::size_t n, bool lower) {
    std::string out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        Char c = s[i];
        if (c == '_') continue;
        if (lower && c >= 'A' && c <= 'Z') c += 'a' - 'A';
        out.push_back(static_cast<char>(c));
    }
    return out;
}

// int(text, base) for digits only; empty text (as "0b_" leaves) declines.
Ref parse_int(const std::string& text, int base) {
    if (text.empty()) return {};
    return Ref::steal(PyLong_FromString(text.c_str(), nullptr, base));
}

Ref make_int(const Char* s, std::size_t n) {
    std::string v = cleaned(s, n, false);
    bool negative = v[0] == '-';
    if (v[0] == '-' || v[0] == '+') v.erase(0, 1);
    Ref r;
    if (v == "0") return Ref::steal(PyLong_FromLong(0));
    if (v.rfind("0b", 0) == 0) {
        r = parse_int(v.substr(2), 2);
    } else if (v.rfind("0x", 0) == 0) {
        r = parse_int(v.substr(2), 16);
    } else if (v[0] == '0') {
        r = parse_int(v, 8);
    } else if (v.find(':') != std::string::npos) {
        // Base 60, each part a decimal int.
        long long total = 0;
        std::size_t at = 0;
        for (;;) {
            std::size_t colon = v.find(':', at);
            std::string part = v.substr(at, colon == std::string::npos ? std::string::npos : colon - at);
            if (part.empty() || part.size() > 17) return {};
            long long p = 0;
            auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), p);
            if (error != std::errc() || end != part.data() + part.size()) return {};
            if (__builtin_mul_overflow(total, 60LL, &total) || __builtin_add_overflow(total, p, &total)) return {};
            if (colon == std::string::npos) break;
            at = colon + 1;
        }
        r = Ref::steal(PyLong_FromLongLong(total));
    } else {
        r = parse_int(v, 10);
    }
    if (r && negative) r = Ref::steal(PyNumber_Negative(r.get()));
    return r;
}

bool to_double(const std::string& text, double& out) {
    char* end = nullptr;
    out = PyOS_string_to_double(text.c_str(), &end, nullptr);
    if (out == -1.0 && PyErr_Occurred()) return false;
    return end == text.c_str() + text.size();
}

Ref make_float(const Char* s, std::size_t n) {
    std::string v = cleaned(s, n, true);
    double sign = v[0] == '-' ? -1.0 : 1.0;
    if (v[0] == '-' || v[0] == '+') v.erase(0, 1);
    double value;
    if (v == ".inf") {
        value = sign * Py_INFINITY;
    } else if (v == ".nan") {
        return Ref::borrow(yaml_nan());
    } else if (v.find(':') != std::string::npos) {
        // Summed from the last part up, as the constructor does; the bases
        // stay exact in a double for up to nine parts.
        std::vector<double> parts;
        std::size_t at = 0;
        for (;;) {
            std::size_t colon = v.find(':', at);
            double d;
            if (!to_double(v.substr(at, colon == std::string::npos ? std::string::npos : colon - at), d)) return {};
            parts.push_back(d);
            if (colon == std::string::npos) break;
            at = colon + 1;
        }
        if (parts.size() > 9) return {};
        value = 0.0;
        double base = 1.0;
        for (auto p = parts.rbegin(); p != parts.rend(); ++p) {
            value += *p * base;
            base *= 60.0;
        }
        value = sign * value;
    } else {
        if (!to_double(v, value)) return {};
        value = sign * value;
    }
    return Ref::steal(PyFloat_FromDouble(value));
}

enum class Tag { Str, Merge, Value };

// The object safe_load makes of a plain scalar; `tag` tells the two that only
// a mapping key may be (merge "<<" and value "=").
Ref resolve(const Char* s, std::size_t n, Tag& tag) {
    tag = Tag::Str;
    if (n == 0) return Ref::borrow(Py_None);
    switch (s[0]) {
        case 'y': case 'Y': case 'n': case 'N': case 't': case 'T': case 'f': case 'F': case 'o': case 'O':
            if (any_word(s, n, {"yes", "Yes", "YES", "true", "True", "TRUE", "on", "On", "ON"})) {
                return Ref::borrow(Py_True);
            }
            if (any_word(s, n, {"no", "No", "NO", "false", "False", "FALSE", "off", "Off", "OFF"})) {
                return Ref::borrow(Py_False);
            }
            if (any_word(s, n, {"null", "Null", "NULL"})) return Ref::borrow(Py_None);
            break;
        case '~':
            if (n == 1) return Ref::borrow(Py_None);
            break;
        case '<':
            if (n == 2 && s[1] == '<') tag = Tag::Merge;
            break;
        case '=':
            if (n == 1) tag = Tag::Value;
            break;
        case '-': case '+': case '.': case '0': case '1': case '2': case '3': case '4': case '5': case '6':
        case '7': case '8': case '9': {
            // The matchers look a few characters past the end: a copy ends
            // in NULs (on the stack for the usual short numbers).
            Char small[64];
            Text large;
            const Char* t = small;
            if (n + 4 <= std::size(small)) {
                std::copy(s, s + n, small);
                std::fill(small + n, small + n + 4, 0);
            } else {
                large.assign(s, n);
                large.append(4, 0);
                t = large.data();
            }
            if (is_float(t, n)) return make_float(t, n);
            if (t[0] != '.' && is_int(t, n)) return make_int(t, n);
            Stamp stamp;
            if (digit(t[0]) && is_timestamp(t, n, stamp)) return make_timestamp(stamp);
            break;
        }
        default:
            break;
    }
    return make_str(s, n);
}

// The standard tags the reader takes; any other declines.
enum class Std { None, Str, Int, Float, Bool, Null, Timestamp, Map, Seq };

// What the safe constructor makes of a scalar under an explicit tag, when it
// is certain: values its own pattern does not take (which it may still
// accept, or reject) decline.
Ref construct(Std tag, const Text& value) {
    std::size_t n = value.size();
    Text v = value;
    v.append(4, 0);
    const Char* s = v.data();
    switch (tag) {
        case Std::Str: return make_str(s, n);
        case Std::Null: return Ref::borrow(Py_None);
        case Std::Int: return n && is_int(s, n) ? make_int(s, n) : Ref();
        case Std::Float: return n && is_float(s, n) ? make_float(s, n) : Ref();
        case Std::Bool: {
            // bool_values[value.lower()], for ASCII text.
            std::string lower;
            for (std::size_t i = 0; i < n; ++i) {
                if (s[i] > 0x7F) return {};
                lower.push_back(static_cast<char>(s[i] >= 'A' && s[i] <= 'Z' ? s[i] + 32 : s[i]));
            }
            if (lower == "yes" || lower == "true" || lower == "on") return Ref::borrow(Py_True);
            if (lower == "no" || lower == "false" || lower == "off") return Ref::borrow(Py_False);
            return {};
        }
        case Std::Timestamp: {
            Stamp stamp;
            return n && digit(s[0]) && is_timestamp(s, n, stamp) ? make_timestamp(stamp) : Ref();
        }
        default: return {};
    }
}

// ---- the document ---------------------------------------------------------------

enum class Ctx { Line, Dash, Colon };

// Where a flow collection stands: before a key (mappings), before the ':'
// of a key, before a value, after an entry.
enum class Flow { Key, Colon, Value, Sep };

struct Frame {
    bool is_map;
    bool flow = false;
    Flow state = Flow::Value;
    bool indentless = false;
    bool awaiting = false;  // a key or dash read, its value still to come
    bool merge_key = false;  // the awaited value is merged in
    bool merged = false;     // pairs were merged in: rebuilt at the end
    long indent;
    PyObject* obj;  // held by its parent or the root, or by `held`
    Ref held;       // a merge value: given to its mapping when finished
    Ref key;
    Text anchor;  // given to the awaited value
    std::vector<std::pair<Ref, Ref>> merges;
};

class Reader {
public:
    explicit Reader(Text text) : s_(std::move(text)) {
        // Each nesting level costs the composer two Python frames; a few
        // dozen more are used around it.
        long room = PyThreadState_Get()->py_recursion_remaining;
        long levels = (room - 60) / 2;
        max_depth_ = levels < 0 ? 0 : std::min<long>(levels, kYamlMaxDepth);
    }

    Ref read();

private:
    Text s_;
    std::size_t pos_ = 0;        // start of the next line to read
    std::size_t line_start_ = 0;  // start of the line being read
    std::vector<Frame> stack_;
    std::unordered_map<Text, Ref> anchors_;
    Ref root_;
    bool has_root_ = false;
    long max_depth_;

    std::size_t line_end(std::size_t p) const {
        while (s_[p] != '\n' && s_[p] != 0) ++p;
        return p;
    }
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

    bool line(std::size_t p, std::size_t e);
    // `above`: the anchor was given on an earlier line, so it names the
    // collection that starts here; on the same line it would name a key.
    bool node(std::size_t p, std::size_t e, Ctx ctx, long ctx_indent, const Text* anchor, bool above = false);
    bool entry(std::size_t p, std::size_t e);
    bool value_after_colon(std::size_t p, std::size_t e);
    bool open(bool is_map, long indent, bool indentless, const Text* anchor);
    bool deliver(Ref value, const Text* anchor);
    bool close();
    bool merge(Frame& f, PyObject* value);
    bool is_open(PyObject* obj) const;

    // Scalars. `end` is where the scalar's text ends; the value comes back in
    // `out` (plain: raw text to resolve; quoted: the str).
    bool plain(std::size_t p, std::size_t e, std::size_t& end, bool& at_colon);
    std::size_t plain_line(std::size_t q, std::size_t e, std::size_t& end, bool& at_colon) const;
    bool quoted(std::size_t p, std::size_t& end, Text& out, bool& multiline);
    // `out` starts empty and receives the first line (first to first_end)
    // only when another line continues it.
    bool fold_plain(std::size_t first, std::size_t first_end, std::size_t first_line_end, long ctx_indent,
                    Text& out);
    bool anchor_name(std::size_t& p, std::size_t e, Text& name, bool flow = false);

    // Flow collections.
    bool flow(std::size_t& q, const Text* anchor);
    bool flow_space(std::size_t& q);
    bool flow_item(std::size_t& q);
    bool flow_key(std::size_t& q);
    bool key_tag(std::size_t& p);
    bool set_key(const Text& text, bool plain_key);
    bool block_scalar(std::size_t p, long ctx_indent, Text& out);
    // "!!name" at q, followed by a space; q moves past it.
    Std tag_at(std::size_t& q) const;
    Std tag_ = Std::None;  // the tag of the node being read
    std::size_t tag_start_ = 0;
    Ref scalar(const Char* text, std::size_t n, bool plain);
    Ref scalar(const Text& text, bool plain) { return scalar(text.data(), text.size(), plain); }
    bool flow_plain(std::size_t& q, Text& out, bool& multiline);
    bool finish(Frame& f);
    bool pop();
};

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
bool Reader::fold_plain(std::size_t first, std::size_t first_end, std::size_t first_line_end, long ctx_indent,
                        Text& out) {
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
        pos_ = e + (s_[e] == '\n' ? 1 : 0);
        if (r != e) return true;  // a comment ends it
        p = e;
    }
}

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
    if (stack_.size() >= static_cast<std::size_t>(max_depth_)) return false;
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
        if (PyDict_SetItem(f.obj, k.get(), v.get()) < 0) return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(own.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(own.get(), i);
        if (PyDict_SetItem(f.obj, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)) < 0) return false;
    }
    return true;
}

// ---- flow collections ---------------------------------------------------------------
//
// Inside brackets indentation does not count and entries may span lines.
// Keys are scalars on one line; a sequence entry that is a "k: v" pair,
// explicit "?" keys, tags and an anchor or comment not set off by a space
// decline.

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

bool flow_stop(Char c) { return c == ',' || c == '[' || c == ']' || c == '{' || c == '}'; }

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
        while (s_[q] == ' ') ++q;
        spaces = q - spaces_at;
        while (s_[q] == '\n') {
            ++breaks;
            line_start_ = ++q;
            if (marker(q)) return false;
            while (s_[q] == ' ') ++q;
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
    while (s_[q] == ' ') ++q;
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
        Std tag = std::exchange(tag_, Std::None);
        if (tag != Std::None && tag != (c == '[' ? Std::Seq : Std::Map)) return false;
        f.state = Flow::Sep;
        return flow(q, anchor);
    }
    if (tag_ != Std::None && (c == '*' || c == ',' || c == ']' || c == '}')) return false;
    Ref value;
    if (c == '*') {
        Text name;
        ++q;
        if (anchor || !anchor_name(q, line_end(q), name, true)) return false;
        auto found = anchors_.find(name);
        if (found == anchors_.end()) return false;
        value = found->second;
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
        std::size_t r = q;
        while (s_[r] == ' ') ++r;
        if (s_[r] == ':') return false;
    }
    f.state = Flow::Sep;
    return deliver(std::move(value), anchor);
}

// The flow collection at q ('[' or '{'), to past its closing bracket.
bool Reader::flow(std::size_t& q, const Text* anchor) {
    std::size_t base = stack_.size();
    bool is_map = s_[q] == '{';
    if (!open(is_map, -1, false, anchor)) return false;
    stack_.back().flow = true;
    stack_.back().state = is_map ? Flow::Key : Flow::Value;
    ++q;
    // Each round takes a character or changes the state; a text cannot need
    // more rounds than this.
    std::size_t rounds = 0, limit = 3 * s_.size() + 8;
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

// After "key:" at q (past the colon): a value on the same line, or one to
// come on the lines below.
bool Reader::value_after_colon(std::size_t q, std::size_t e) {
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
    while (s_[p] == ' ') ++p;
    return tag_ != Std::None;
}

// The key of the innermost mapping, from its text. A plain "<<" is a merge
// key; a plain "=" is the str "=".
bool Reader::set_key(const Text& text, bool plain_key) {
    Frame& f = stack_.back();
    Std tag = std::exchange(tag_, Std::None);
    Ref key;
    if (tag != Std::None) {
        key = construct(tag, text);
    } else if (!plain_key) {
        key = make_str(text.data(), text.size());
    } else {
        Tag implicit;
        key = resolve(text.data(), text.size(), implicit);
        f.merge_key = implicit == Tag::Merge;
    }
    if (!key) return false;
    f.key = std::move(key);
    return true;
}

// A node starting at p: a new collection, an alias or a scalar.
Std Reader::tag_at(std::size_t& q) const {
    static const std::pair<const char*, Std> names[] = {
        {"str", Std::Str},     {"int", Std::Int}, {"float", Std::Float}, {"bool", Std::Bool},
        {"null", Std::Null},   {"timestamp", Std::Timestamp}, {"map", Std::Map}, {"seq", Std::Seq}};
    if (s_[q] != '!' || s_[q + 1] != '!') return Std::None;
    std::size_t r = q + 2;
    while (s_[r] != ' ' && s_[r] != '\n' && s_[r] != 0) ++r;
    if (s_[r] != ' ') return Std::None;
    for (auto& [name, tag] : names) {
        if (word(s_.data() + q + 2, r - q - 2, name)) {
            q = r;
            return tag;
        }
    }
    return Std::None;
}

// A scalar's value under the tag being read (taken), or as resolved.
Ref Reader::scalar(const Char* text, std::size_t n, bool plain) {
    Std tag = std::exchange(tag_, Std::None);
    if (tag != Std::None) return construct(tag, Text(text, n));
    if (!plain) return make_str(text, n);
    Tag implicit;
    Ref value = resolve(text, n, implicit);
    return implicit == Tag::Str ? value : Ref();
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

bool Reader::node(std::size_t p, std::size_t e, Ctx ctx, long ctx_indent, const Text* anchor, bool above) {
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
        bool ok = node(q, e, ctx, ctx_indent, anchor, above);
        tag_ = Std::None;
        return ok;
    }
    if (dash(p)) {
        if (ctx == Ctx::Colon || (anchor && !above) || tag_ != Std::None) return false;
        if (!open(false, col, false, collection_anchor)) return false;
        stack_.back().awaiting = true;
        std::size_t q = p + 1;
        if (rest_empty(q, e)) return true;
        return node(skip_spaces(q), e, Ctx::Dash, col, nullptr);
    }
    if (c == '&') {
        if (anchor || ctx == Ctx::Line || stack_.empty()) return false;
        Text name;
        std::size_t q = p + 1;
        if (!anchor_name(q, e, name)) return false;
        if (rest_empty(q, e)) {
            // The anchored node is on the lines below (or is an empty null).
            stack_.back().anchor = name;
            return !name.empty();
        }
        return node(skip_spaces(q), e, ctx, ctx_indent, &name);
    }
    if (c == '*') {
        Text name;
        std::size_t q = p + 1;
        if (anchor || tag_ != Std::None || !anchor_name(q, e, name) || !rest_empty(q, e)) return false;
        auto found = anchors_.find(name);
        if (found == anchors_.end()) return false;
        return deliver(found->second, nullptr);
    }
    std::size_t end;
    if (c == '[' || c == '{') {
        std::size_t q = p;
        Std tag = std::exchange(tag_, Std::None);
        if (tag != Std::None && tag != (c == '[' ? Std::Seq : Std::Map)) return false;
        if (!flow(q, anchor)) return false;
        // Only a comment may follow; a ':' would make it a key.
        e = line_end(q);
        if (!rest_empty(q, e)) return false;
        pos_ = e + (s_[e] == '\n' ? 1 : 0);
        return true;
    }
    if (c == '\'' || c == '"') {
        Text text;
        bool multiline;
        std::size_t q;
        if (!quoted(p, end, text, multiline)) return false;
        e = line_end(end);
        q = skip_spaces(end);
        if (s_[q] == ':' && blank_or_end(s_[q + 1])) {
            if (multiline || ctx == Ctx::Colon || (anchor && !above)) return false;
            if (!open(true, col, false, collection_anchor)) return false;
            return entry(p, e);
        }
        if (!rest_empty(end, e)) return false;
        if (multiline) pos_ = e + (s_[e] == '\n' ? 1 : 0);
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

// One line with text, p at its first non-space character.
bool Reader::line(std::size_t p, std::size_t e) {
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

Ref Reader::read() {
    bool started = false;  // a "---" or any text seen
    bool ended = false;    // a "..." seen
    while (s_[pos_] != 0) {
        line_start_ = pos_;
        std::size_t e = line_end(pos_);
        std::size_t p = skip_spaces(pos_);
        pos_ = e + (s_[e] == '\n' ? 1 : 0);
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

}  // namespace

Ref read_yaml(PyObject* text) {
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) {
            PyErr_Clear();
            return {};
        }
    }
    Ref result;
    // Running out of memory for the reader's own tables declines too: the
    // original then meets the shortage itself.
    try {
        Text s;
        Py_ssize_t n = PyUnicode_GET_LENGTH(text);
        bool ok;
        switch (PyUnicode_KIND(text)) {
            case PyUnicode_1BYTE_KIND: ok = load_text(PyUnicode_1BYTE_DATA(text), n, s); break;
            case PyUnicode_2BYTE_KIND: ok = load_text(PyUnicode_2BYTE_DATA(text), n, s); break;
            default: ok = load_text(PyUnicode_4BYTE_DATA(text), n, s); break;
        }
        if (!ok) return {};
        Reader reader(std::move(s));
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
