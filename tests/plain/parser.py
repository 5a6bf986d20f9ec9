"""tavik.utils.parser in plain Python."""

import sys
from gettext import gettext
import re
from argparse import *
from operator import index as _index

from plain.unpacking import _slice_to, _unpack

# Taken once, as the native module does.
_super = super
_ASSERTIONS = bool(__debug__)


_MISSING = object()


class _ActionsUsage:
    """self._format_actions_usage where the formatter has it. The argparse of
    3.14 has only _get_actions_usage_parts, whose parts come optionals first
    (with the index where positionals start) and may carry colour codes."""

    def __init__(self, formatter):
        self.format = getattr(formatter, "_format_actions_usage", _MISSING)
        self.parts = None
        self.decolor = _MISSING
        if self.format is _MISSING:
            self.parts = formatter._get_actions_usage_parts
            self.decolor = getattr(formatter, "_decolor", _MISSING)

    def __call__(self, actions, groups):
        if self.format is not _MISSING:
            return self.format(actions, groups)
        parts, pos_start = self.parts(actions, groups)
        items = list(parts)
        start = _index(pos_start)
        n = len(items)
        if start < 0:
            start = max(start + n, 0)
        start = min(start, n)
        ordered = []
        for part in items[start:] + items[:start]:
            # Decoloured first: a part may be colour codes alone.
            if self.decolor is not _MISSING:
                part = self.decolor(part)
            if part:
                ordered.append(part)
        return " ".join(ordered)


class ArgsPropagationParser(ArgumentParser):
    def parse_args(self, args=None, namespace=None):
        args, unknowns = _unpack(self.parse_known_args(args, namespace), 2)
        sys.argv = _slice_to(sys.argv, 1) + unknowns
        return args


class Tavik_HelpFormatter(RawTextHelpFormatter):
    def __init__(self, *args, **kwargs):
        init = _super(__class__, self).__init__
        if "max_help_position" in kwargs:
            raise TypeError("%s() got multiple values for keyword argument '%s'" % ("function", "max_help_position"))
        init(*args, max_help_position=30, **kwargs)

    def _format_usage(self, usage, actions, groups, prefix):
        if prefix is None:
            prefix = gettext("usage: ")
        if usage is not None:
            usage = usage % {"prog": self._prog}
        elif not actions:
            usage = "%(prog)s" % {"prog": self._prog}
        else:
            prog = "%(prog)s" % {"prog": self._prog}
            optionals = []
            positionals = []
            for action in actions:
                if action.option_strings:
                    optionals.append(action)
                else:
                    positionals.append(action)
            format = _ActionsUsage(self)
            action_usage = format(positionals + optionals, groups)
            usage = " ".join([s for s in [prog, action_usage] if s])
            text_width = self._width - self._current_indent

            if len(prefix) + len(usage) > text_width:
                part_regexp = r"\(.*?\)+|\[.*?\]+|\S+"
                opt_usage = format(optionals, groups)
                pos_usage = format(positionals, groups)
                opt_parts = re.findall(part_regexp, opt_usage)
                pos_parts = re.findall(part_regexp, pos_usage)
                if _ASSERTIONS:
                    if " ".join(opt_parts) != opt_usage:
                        raise AssertionError
                    if " ".join(pos_parts) != pos_usage:
                        raise AssertionError

                def get_lines(parts, indent, prefix=None):
                    lines = []
                    line = []
                    if prefix is not None:
                        line_len = len(prefix) - 1
                    else:
                        line_len = len(indent) - 1
                    for part in parts:
                        part_len = len(part)
                        if line_len + 1 + part_len > text_width and line:
                            lines.append(indent + " ".join(line))
                            line = []
                            line_len = len(indent) - 1
                        line.append(part)
                        line_len += part_len + 1
                    if line:
                        lines.append(indent + " ".join(line))
                    if prefix is not None:
                        lines[0] = lines[0][len(indent):]
                    return lines

                if len(prefix) + len(prog) <= 0.75 * text_width:
                    indent = " " * (len(prefix) + len(prog) + 1)
                    if pos_parts:
                        lines = get_lines([prog] + pos_parts, indent, prefix)
                        lines.extend(get_lines(opt_parts, indent))
                    elif opt_parts:
                        lines = get_lines([prog] + opt_parts, indent, prefix)
                    else:
                        lines = [prog]
                else:
                    indent = " " * len(prefix)
                    parts = pos_parts + opt_parts
                    lines = get_lines(parts, indent)
                    if len(lines) > 1:
                        lines = []
                        lines.extend(get_lines(pos_parts, indent))
                        lines.extend(get_lines(opt_parts, indent))
                    lines = [prog] + lines
                usage = "\n".join(lines)
        return str(prefix) + str(usage) + "\n\n"

    def _format_action_invocation(self, action):
        if not action.option_strings:
            default = self._get_default_metavar_for_positional(action)
            metavar, = _unpack(self._metavar_formatter(action, default)(1), 1)
            return metavar
        parts = []
        if action.nargs == 0:
            parts.extend(action.option_strings)
            return ", ".join(parts)
        default = self._get_default_metavar_for_optional(action)
        args_string = self._format_args(action, default)
        for option_string in action.option_strings:
            parts.append(option_string)
        return ", ".join(parts) + " " + str(args_string)
