// Tavik_HelpFormatter: a fixed help position, positional arguments first in
// the usage text, and an option's placeholder written once.
#include "parser/parser.hpp"

#include <algorithm>

namespace tavik::parser {

namespace {

Name n_gettext{"gettext"};
Name n_re{"re"};
Name n_findall{"findall"};
Name n___init__{"__init__"};
Name n_max_help_position{"max_help_position"};
Name n_prog{"prog"};
Name n__prog{"_prog"};
Name n__width{"_width"};
Name n__current_indent{"_current_indent"};
Name n__format_actions_usage{"_format_actions_usage"};
Name n__get_actions_usage_parts{"_get_actions_usage_parts"};
Name n__decolor{"_decolor"};
Name n__get_default_metavar_for_positional{"_get_default_metavar_for_positional"};
Name n__get_default_metavar_for_optional{"_get_default_metavar_for_optional"};
Name n__metavar_formatter{"_metavar_formatter"};
Name n__format_args{"_format_args"};
Name n_option_strings{"option_strings"};
Name n_nargs{"nargs"};

// Constant texts, made once with the names.
Name t_usage{"usage: "};
Name t_prog_template{"%(prog)s"};
Name t_part_regexp{R"(\(.*?\)+|\[.*?\]+|\S+)"};
Name t_blank{" "};
Name t_newline{"\n"};
Name t_trailer{"\n\n"};
Name t_comma{", "};

constexpr long kHelpPosition = 30;

// ---- __init__ ------------------------------------------------------------

// __init__(self, *args, **kwargs):
//     super().__init__(*args, max_help_position=30, **kwargs)
PyObject* init(Function* self, PyObject* const* a) {
    PyObject* formatter = a[0];
    PyObject* args = a[1];
    PyObject* kwargs = a[2];
    if (!self->extra) {
        PyErr_SetString(PyExc_RuntimeError, "super(): empty __class__ cell");
        return nullptr;
    }
    Ref parent = call(builtin_super, self->extra, formatter);
    Ref base_init = parent ? Ref::steal(PyObject_GetAttr(parent.get(), n___init__.get())) : Ref();
    if (!base_init) return nullptr;
    int twice = PyDict_Contains(kwargs, n_max_help_position.get());
    if (twice < 0) return nullptr;
    if (twice) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", "function",
                     n_max_help_position.get());
        return nullptr;
    }
    // max_help_position first, then the caller's keywords in their order.
    Ref keywords = Ref::steal(PyDict_New());
    Ref position = keywords ? Ref::steal(PyLong_FromLong(kHelpPosition)) : Ref();
    if (!position || PyDict_SetItem(keywords.get(), n_max_help_position.get(), position.get()) < 0 ||
        PyDict_Update(keywords.get(), kwargs) < 0) {
        return nullptr;
    }
    Ref r = Ref::steal(PyObject_Call(base_init.get(), args, keywords.get()));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

// ---- _format_usage -------------------------------------------------------

bool checked_add(Py_ssize_t a, Py_ssize_t b, Py_ssize_t& out) {
    if ((b > 0 && a > PY_SSIZE_T_MAX - b) || (b < 0 && a < PY_SSIZE_T_MIN - b)) {
        PyErr_SetString(PyExc_OverflowError, "usage line too wide to lay out");
        return false;
    }
    out = a + b;
    return true;
}

// text_width of one call. It is any number the formatter holds; an int that
// fits is compared natively, anything else through its own comparison.
class TextWidth {
public:
    bool start(PyObject* formatter) {
        Ref width = Ref::steal(PyObject_GetAttr(formatter, n__width.get()));
        Ref indent = width ? Ref::steal(PyObject_GetAttr(formatter, n__current_indent.get())) : Ref();
        value_ = indent ? Ref::steal(PyNumber_Subtract(width.get(), indent.get())) : Ref();
        if (!value_) return false;
        if (PyLong_CheckExact(value_.get())) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(value_.get(), &overflow);
            if (v == -1 && PyErr_Occurred()) return false;
            native_ = overflow == 0 && v >= PY_SSIZE_T_MIN && v <= PY_SSIZE_T_MAX;
            small_ = static_cast<Py_ssize_t>(native_ ? v : 0);
        }
        return true;
    }
    PyObject* get() const { return value_.get(); }
    // n > text_width, or -1 on error.
    int exceeded_by(Py_ssize_t n) const {
        if (native_) return n > small_;
        Ref left = Ref::steal(PyLong_FromSsize_t(n));
        return left ? PyObject_RichCompareBool(left.get(), value_.get(), Py_GT) : -1;
    }

private:
    Ref value_;
    bool native_ = false;
    Py_ssize_t small_ = 0;
};

// The usage text of some actions: self._format_actions_usage where the
// formatter has it (a subclass may); argparse of 3.14 has only
// _get_actions_usage_parts, whose parts come optionals first and may carry
// colour codes, which would spoil the widths counted here.
class ActionsUsage {
public:
    bool start(PyObject* formatter) {
        PyObject* found_object;
        int found = PyObject_GetOptionalAttr(formatter, n__format_actions_usage.get(), &found_object);
        if (found < 0) return false;
        if (found) {
            format_ = Ref::steal(found_object);
            return true;
        }
        parts_ = Ref::steal(PyObject_GetAttr(formatter, n__get_actions_usage_parts.get()));
        if (!parts_) return false;
        found = PyObject_GetOptionalAttr(formatter, n__decolor.get(), &found_object);
        decolor_ = Ref::steal(found_object);
        return found >= 0;
    }

    Ref operator()(PyObject* actions, PyObject* groups) const {
        if (format_) return call(format_.get(), actions, groups);
        Ref result = call(parts_.get(), actions, groups);
        Ref split[2];
        if (!result || !unpack_as_python(result.get(), split, 2)) return {};
        return positionals_first(split[0].get(), split[1].get());
    }

private:
    // parts[pos_start:] then parts[:pos_start], joined by single blanks;
    // empty parts are left out so that no blank is doubled. A part is tested
    // once decoloured: colour codes alone make an empty part.
    Ref positionals_first(PyObject* parts, PyObject* pos_start) const {
        // A tuple: the decolouring and truth tests below run user code, which
        // could reach and change a list.
        Ref items = Ref::steal(PySequence_Tuple(parts));
        Ref index = items ? Ref::steal(PyNumber_Index(pos_start)) : Ref();
        if (!index) return {};
        Py_ssize_t start = PyNumber_AsSsize_t(index.get(), nullptr);  // clamps like a slice bound
        Py_ssize_t n = PyTuple_GET_SIZE(items.get());
        if (start < 0) start = std::max<Py_ssize_t>(start + n, 0);
        start = std::min(start, n);
        Ref ordered = Ref::steal(PyList_New(0));
        if (!ordered) return {};
        for (Py_ssize_t k = 0; k < n; ++k) {
            Ref part = Ref::borrow(PyTuple_GET_ITEM(items.get(), (start + k) % n));
            if (decolor_) part = call(decolor_.get(), part.get());
            int present = part ? PyObject_IsTrue(part.get()) : -1;
            if (present < 0 || (present && PyList_Append(ordered.get(), part.get()) < 0)) return {};
        }
        return Ref::steal(PyUnicode_Join(t_blank.get(), ordered.get()));
    }

    Ref format_;
    Ref parts_;
    Ref decolor_;
};

// [item]
Ref one_item_list(PyObject* item) {
    Ref list = Ref::steal(PyList_New(1));
    if (list) PyList_SET_ITEM(list.get(), 0, Py_NewRef(item));
    return list;
}

Ref blanks(Py_ssize_t n) { return Ref::steal(PySequence_Repeat(t_blank.get(), n)); }

// text[start:]
Ref slice_from(PyObject* text, Py_ssize_t start) {
    if (PyUnicode_CheckExact(text)) return Ref::steal(PyUnicode_Substring(text, start, PY_SSIZE_T_MAX));
    Ref from = Ref::steal(PyLong_FromSsize_t(start));
    Ref slice = from ? Ref::steal(PySlice_New(from.get(), nullptr, nullptr)) : Ref();
    return slice ? Ref::steal(PyObject_GetItem(text, slice.get())) : Ref();
}

// The layout of one _format_usage call that wraps.
class UsageLines {
public:
    UsageLines(Function* self, const TextWidth& text_width) : self_(self), text_width_(text_width) {}

    // re.findall(part_regexp, usage), `re` looked up at each call.
    Ref split(PyObject* usage) const {
        Ref re = lookup(self_, n_re);
        return re ? call_method(re.get(), n_findall, t_part_regexp.get(), usage) : Ref();
    }

    // get_lines(parts, indent, prefix=None)
    Ref get_lines(PyObject* parts, PyObject* indent, PyObject* prefix = nullptr) const {
        Ref lines = Ref::steal(PyList_New(0));
        Ref line = Ref::steal(PyList_New(0));
        Ref iter = line ? Ref::steal(PyObject_GetIter(parts)) : Ref();
        if (!lines || !iter) return {};
        Py_ssize_t indent_len = PyUnicode_GET_LENGTH(indent);
        Py_ssize_t line_len = indent_len - 1;
        if (prefix) {
            Py_ssize_t prefix_len = PyObject_Length(prefix);
            if (prefix_len < 0) return {};
            line_len = prefix_len - 1;
        }
        while (Ref part = Ref::steal(PyIter_Next(iter.get()))) {
            Py_ssize_t part_len = PyObject_Length(part.get());
            Py_ssize_t needed;
            if (part_len < 0 || !checked_add(line_len, 1, needed) || !checked_add(needed, part_len, needed)) return {};
            int over = text_width_.exceeded_by(needed);
            if (over < 0) return {};
            if (over && PyList_GET_SIZE(line.get()) > 0) {
                if (flush(lines.get(), indent, line.get()) < 0) return {};
                line = Ref::steal(PyList_New(0));
                if (!line) return {};
                line_len = indent_len - 1;
            }
            if (PyList_Append(line.get(), part.get()) < 0 || !checked_add(line_len, part_len, line_len) ||
                !checked_add(line_len, 1, line_len)) {
                return {};
            }
        }
        if (PyErr_Occurred()) return {};
        if (PyList_GET_SIZE(line.get()) > 0 && flush(lines.get(), indent, line.get()) < 0) return {};
        if (prefix) {
            // The prefix stands in front of the first line, in place of its
            // indent. The list was open to the code run above (a width's
            // comparison can find it through the collector), so the line is
            // read back as Python reads it: whatever it now holds.
            Ref first = Ref::steal(PySequence_GetItem(lines.get(), 0));
            Ref rest = first ? slice_from(first.get(), indent_len) : Ref();
            if (!rest || PyList_SetItem(lines.get(), 0, rest.release()) < 0) return {};
        }
        return lines;
    }

    // The program name followed by its positional, then its optional parts.
    Ref short_form(PyObject* prog, PyObject* prefix, PyObject* pos_parts, PyObject* opt_parts) const {
        Py_ssize_t prefix_len = PyObject_Length(prefix);
        Py_ssize_t width;
        if (prefix_len < 0 || !checked_add(prefix_len, PyUnicode_GET_LENGTH(prog), width) ||
            !checked_add(width, 1, width)) {
            return {};
        }
        Ref indent = blanks(width);
        if (!indent) return {};
        int has_pos = PyObject_IsTrue(pos_parts);
        if (has_pos < 0) return {};
        if (has_pos) {
            Ref lines = prefixed(prog, pos_parts, indent.get(), prefix);
            Ref more = lines ? get_lines(opt_parts, indent.get()) : Ref();
            if (!more || PyList_Extend(lines.get(), more.get()) < 0) return {};
            return lines;
        }
        int has_opt = PyObject_IsTrue(opt_parts);
        if (has_opt < 0) return {};
        if (has_opt) return prefixed(prog, opt_parts, indent.get(), prefix);
        return one_item_list(prog);
    }

    // The program name alone on the first line; the parts share one line
    // below it when they fit, else positional lines come first.
    Ref long_form(PyObject* prog, PyObject* prefix, PyObject* pos_parts, PyObject* opt_parts) const {
        Py_ssize_t prefix_len = PyObject_Length(prefix);
        Ref indent = prefix_len >= 0 ? blanks(prefix_len) : Ref();
        Ref parts = indent ? Ref::steal(PyNumber_Add(pos_parts, opt_parts)) : Ref();
        Ref lines = parts ? get_lines(parts.get(), indent.get()) : Ref();
        if (!lines) return {};
        if (PyList_GET_SIZE(lines.get()) > 1) {
            lines = Ref::steal(PyList_New(0));
            Ref pos_lines = lines ? get_lines(pos_parts, indent.get()) : Ref();
            if (!pos_lines || PyList_Extend(lines.get(), pos_lines.get()) < 0) return {};
            Ref opt_lines = get_lines(opt_parts, indent.get());
            if (!opt_lines || PyList_Extend(lines.get(), opt_lines.get()) < 0) return {};
        }
        Ref head = one_item_list(prog);
        return head ? Ref::steal(PyNumber_Add(head.get(), lines.get())) : Ref();
    }

private:
    // get_lines([prog] + parts, indent, prefix)
    Ref prefixed(PyObject* prog, PyObject* parts, PyObject* indent, PyObject* prefix) const {
        Ref head = one_item_list(prog);
        Ref all = head ? Ref::steal(PyNumber_Add(head.get(), parts)) : Ref();
        return all ? get_lines(all.get(), indent, prefix) : Ref();
    }

    static int flush(PyObject* lines, PyObject* indent, PyObject* line) {
        Ref joined = Ref::steal(PyUnicode_Join(t_blank.get(), line));
        Ref text = joined ? Ref::steal(PyUnicode_Concat(indent, joined.get())) : Ref();
        return text ? PyList_Append(lines, text.get()) : -1;
    }

    Function* self_;
    const TextWidth& text_width_;
};

// assert " ".join(parts) == usage
int check_parts(PyObject* parts, PyObject* usage) {
    Ref joined = Ref::steal(PyUnicode_Join(t_blank.get(), parts));
    if (!joined) return -1;
    int same = PyObject_RichCompareBool(joined.get(), usage, Py_EQ);
    if (same < 0) return -1;
    if (!same) {
        PyErr_SetNone(PyExc_AssertionError);
        return -1;
    }
    return 0;
}

// len(prefix) + len(prog) <= 0.75 * text_width, compared as Python numbers.
int prog_is_short(PyObject* prefix, PyObject* prog, const TextWidth& text_width) {
    Py_ssize_t prefix_len = PyObject_Length(prefix);
    Py_ssize_t used;
    if (prefix_len < 0 || !checked_add(prefix_len, PyUnicode_GET_LENGTH(prog), used)) return -1;
    Ref left = Ref::steal(PyLong_FromSsize_t(used));
    Ref factor = left ? Ref::steal(PyFloat_FromDouble(0.75)) : Ref();
    Ref room = factor ? Ref::steal(PyNumber_Multiply(factor.get(), text_width.get())) : Ref();
    return room ? PyObject_RichCompareBool(left.get(), room.get(), Py_LE) : -1;
}

// The usage cut into parts and laid out over several lines.
Ref wrapped_usage(Function* self, PyObject* prog, PyObject* prefix, PyObject* positionals, PyObject* optionals,
                  PyObject* groups, const ActionsUsage& format, const TextWidth& text_width) {
    Ref opt_usage = format(optionals, groups);
    Ref pos_usage = opt_usage ? format(positionals, groups) : Ref();
    if (!pos_usage) return {};
    UsageLines layout{self, text_width};
    Ref opt_parts = layout.split(opt_usage.get());
    Ref pos_parts = opt_parts ? layout.split(pos_usage.get()) : Ref();
    if (!pos_parts) return {};
    if (assertions_enabled &&
        (check_parts(opt_parts.get(), opt_usage.get()) < 0 || check_parts(pos_parts.get(), pos_usage.get()) < 0)) {
        return {};
    }
    int is_short = prog_is_short(prefix, prog, text_width);
    if (is_short < 0) return {};
    Ref lines = is_short ? layout.short_form(prog, prefix, pos_parts.get(), opt_parts.get())
                         : layout.long_form(prog, prefix, pos_parts.get(), opt_parts.get());
    return lines ? Ref::steal(PyUnicode_Join(t_newline.get(), lines.get())) : Ref();
}

// {"prog": self._prog}
Ref prog_mapping(PyObject* formatter) {
    Ref prog = Ref::steal(PyObject_GetAttr(formatter, n__prog.get()));
    Ref mapping = prog ? Ref::steal(PyDict_New()) : Ref();
    if (!mapping || PyDict_SetItem(mapping.get(), n_prog.get(), prog.get()) < 0) return {};
    return mapping;
}

Ref prog_text(PyObject* formatter) {
    Ref mapping = prog_mapping(formatter);
    return mapping ? Ref::steal(PyUnicode_Format(t_prog_template.get(), mapping.get())) : Ref();
}

// Splits the actions, in order, into those with option strings and the rest.
int split_actions(PyObject* actions, PyObject* positionals, PyObject* optionals) {
    return for_each(actions, [&](PyObject* action) {
        Ref strings = Ref::steal(PyObject_GetAttr(action, n_option_strings.get()));
        int is_optional = strings ? PyObject_IsTrue(strings.get()) : -1;
        return is_optional < 0 ? -1 : PyList_Append(is_optional ? optionals : positionals, action);
    });
}

// prog and the usage of its actions, positional arguments first; wrapped
// when prefix and usage together are wider than the text.
Ref actions_usage(Function* self, PyObject* formatter, PyObject* actions, PyObject* groups, PyObject* prefix) {
    Ref prog = prog_text(formatter);
    Ref positionals = prog ? Ref::steal(PyList_New(0)) : Ref();
    Ref optionals = positionals ? Ref::steal(PyList_New(0)) : Ref();
    if (!optionals || split_actions(actions, positionals.get(), optionals.get()) < 0) return {};
    ActionsUsage format;
    if (!format.start(formatter)) return {};
    Ref ordered = Ref::steal(PyNumber_Add(positionals.get(), optionals.get()));
    Ref action_usage = ordered ? format(ordered.get(), groups) : Ref();
    if (!action_usage) return {};
    // prog and action_usage joined by one blank, each left out when falsy.
    Ref present = Ref::steal(PyList_New(0));
    if (!present) return {};
    for (PyObject* piece : {prog.get(), action_usage.get()}) {
        int has = PyObject_IsTrue(piece);
        if (has < 0 || (has && PyList_Append(present.get(), piece) < 0)) return {};
    }
    Ref usage = Ref::steal(PyUnicode_Join(t_blank.get(), present.get()));
    TextWidth text_width;
    if (!usage || !text_width.start(formatter)) return {};
    Py_ssize_t prefix_len = PyObject_Length(prefix);
    Py_ssize_t usage_len = prefix_len >= 0 ? PyObject_Length(usage.get()) : -1;
    Py_ssize_t total;
    if (usage_len < 0 || !checked_add(prefix_len, usage_len, total)) return {};
    int too_wide = text_width.exceeded_by(total);
    if (too_wide <= 0) return too_wide < 0 ? Ref() : usage;
    return wrapped_usage(self, prog.get(), prefix, positionals.get(), optionals.get(), groups, format, text_width);
}

// _format_usage(self, usage, actions, groups, prefix)
PyObject* format_usage(Function* self, PyObject* const* a) {
    PyObject* formatter = a[0];
    PyObject* actions = a[2];
    PyObject* groups = a[3];
    Ref prefix = Ref::borrow(a[4]);
    if (prefix.get() == Py_None) {
        Ref gettext = lookup(self, n_gettext);
        prefix = gettext ? call(gettext.get(), t_usage.get()) : Ref();
        if (!prefix) return nullptr;
    }
    Ref usage;
    if (a[1] != Py_None) {
        Ref mapping = prog_mapping(formatter);
        usage = mapping ? Ref::steal(PyNumber_Remainder(a[1], mapping.get())) : Ref();
    } else {
        int has_actions = PyObject_IsTrue(actions);
        if (has_actions < 0) return nullptr;
        usage = has_actions ? actions_usage(self, formatter, actions, groups, prefix.get()) : prog_text(formatter);
    }
    if (!usage) return nullptr;
    Ref head = Ref::steal(PyObject_Str(prefix.get()));
    Ref body = head ? Ref::steal(PyObject_Str(usage.get())) : Ref();
    Ref text = body ? Ref::steal(PyUnicode_Concat(head.get(), body.get())) : Ref();
    return text ? PyUnicode_Concat(text.get(), t_trailer.get()) : nullptr;
}

// ---- _format_action_invocation -------------------------------------------

Ref option_strings(PyObject* action) { return Ref::steal(PyObject_GetAttr(action, n_option_strings.get())); }

// The one placeholder of a positional argument, as given.
PyObject* positional_invocation(PyObject* formatter, PyObject* action) {
    Ref deflt = call_method(formatter, n__get_default_metavar_for_positional, action);
    Ref format = deflt ? call_method(formatter, n__metavar_formatter, action, deflt.get()) : Ref();
    Ref one = format ? Ref::steal(PyLong_FromLong(1)) : Ref();
    Ref result = one ? call(format.get(), one.get()) : Ref();
    Ref metavar[1];
    if (!result || !unpack(result.get(), metavar, 1)) return nullptr;
    return metavar[0].release();
}

// _format_action_invocation(self, action)
PyObject* format_action_invocation(Function*, PyObject* const* a) {
    PyObject* formatter = a[0];
    PyObject* action = a[1];
    Ref strings = option_strings(action);
    int is_optional = strings ? PyObject_IsTrue(strings.get()) : -1;
    if (is_optional < 0) return nullptr;
    if (!is_optional) return positional_invocation(formatter, action);
    Ref parts = Ref::steal(PyList_New(0));
    Ref nargs = parts ? Ref::steal(PyObject_GetAttr(action, n_nargs.get())) : Ref();
    Ref zero = nargs ? Ref::steal(PyLong_FromLong(0)) : Ref();
    int no_value = zero ? PyObject_RichCompareBool(nargs.get(), zero.get(), Py_EQ) : -1;
    if (no_value < 0) return nullptr;
    if (no_value) {
        strings = option_strings(action);
        if (!strings || PyList_Extend(parts.get(), strings.get()) < 0) return nullptr;
        return PyUnicode_Join(t_comma.get(), parts.get());
    }
    Ref deflt = call_method(formatter, n__get_default_metavar_for_optional, action);
    Ref args_string = deflt ? call_method(formatter, n__format_args, action, deflt.get()) : Ref();
    strings = args_string ? option_strings(action) : Ref();
    if (!strings || for_each(strings.get(), [&](PyObject* s) { return PyList_Append(parts.get(), s); }) < 0) {
        return nullptr;
    }
    Ref joined = Ref::steal(PyUnicode_Join(t_comma.get(), parts.get()));
    Ref spaced = joined ? Ref::steal(PyUnicode_Concat(joined.get(), t_blank.get())) : Ref();
    Ref text = spaced ? Ref::steal(PyObject_Str(args_string.get())) : Ref();
    return text ? PyUnicode_Concat(spaced.get(), text.get()) : nullptr;
}

}  // namespace

const FunctionSpec init_spec = {
    "__init__",
    "Tavik_HelpFormatter.__init__",
    nullptr,
    {{"self"}, {"args", ParamKind::VarPositional}, {"kwargs", ParamKind::VarKeyword}},
    init,
};

const FunctionSpec format_usage_spec = {
    "_format_usage",
    "Tavik_HelpFormatter._format_usage",
    "_format_usage\n"
    "\n"
    "        Basically the exact same as parent class's _format_usage - except the\n"
    "        positional arguments now show up before optional arguments in the usage\n"
    "        text.\n"
    "\n"
    "        This is needed as Calvex parser is a multiple stack/stage parser.\n"
    "\n"
    "        ",
    {{"self"}, {"usage"}, {"actions"}, {"groups"}, {"prefix"}},
    format_usage,
};

const FunctionSpec format_action_invocation_spec = {
    "_format_action_invocation",
    "Tavik_HelpFormatter._format_action_invocation",
    "\n"
    "        fix for usage from\n"
    "            -X [FILE], --xxx [FILE]\n"
    "        to\n"
    "            -X, --xxx [FILE]\n"
    "\n"
    "        ",
    {{"self"}, {"action"}},
    format_action_invocation,
};

}  // namespace tavik::parser
