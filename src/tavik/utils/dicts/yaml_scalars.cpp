// The scalars: the safe loader's implicit resolver and the constructors of
// the standard scalar tags, for the texts the structure hands over. Each
// matcher below is one of the resolver's patterns, written out as a scan
// (the patterns are YAML 1.1's: "yes" and "on" are booleans, "012" octal,
// "1e3" a string, base 60, timestamps), and each maker builds what the
// constructor builds from the same text, so that a match here is a value
// the constructor would give. A text that matches no pattern the reader is
// sure of declines rather than guesses.
#include "dicts/yaml_scalars.hpp"

#include "dicts/yaml_guard.hpp"

#include <datetime.h>

#include <algorithm>
#include <charconv>
#include <initializer_list>
#include <iterator>
#include <utility>
#include <vector>

namespace tavik::dicts::yaml {

namespace {

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
    // `[ \t]*` belongs to the zone: spaces with no zone after them end no
    // timestamp.
    std::size_t spaces = i;
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
    } else if (i != spaces) {
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

}  // namespace

bool scalars_ready() {
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

Ref make_str(const Char* s, std::size_t n) {
    return Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, s, static_cast<Py_ssize_t>(n)));
}

// The resolver's lists are keyed by the first character: only the words and
// numbers that can start with it are tried.
Ref resolve(const Char* s, std::size_t n, Implicit& tag) {
    tag = Implicit::Plain;
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
            if (n == 2 && s[1] == '<') tag = Implicit::Merge;
            break;
        case '=':
            if (n == 1) tag = Implicit::Value;
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

Std standard_tag(const Char* name, std::size_t n) {
    static const std::pair<const char*, Std> names[] = {
        {"str", Std::Str},   {"int", Std::Int},   {"float", Std::Float},   {"bool", Std::Bool},
        {"null", Std::Null}, {"map", Std::Map},   {"seq", Std::Seq},       {"timestamp", Std::Timestamp}};
    for (auto& [word_of, tag] : names) {
        if (word(name, n, word_of)) return tag;
    }
    return Std::None;
}

// The constructors' own code, for the texts their tags' patterns take (the
// timestamp constructor reads with a pattern of its own, which takes a date
// of one-digit month or day and a break at the end: those decline).
Ref construct(Std tag, const Char* value, std::size_t n) {
    // The matchers look past the end: a copy that ends in NULs.
    Text v(value, n);
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

}  // namespace tavik::dicts::yaml
