"""tavik.utils.parser written plainly in Python: the baseline that `make bench`
times the native module against, as it is and compiled with Cython."""

import sys
from gettext import gettext
import re
from argparse import *
import argparse


class Tavik_HelpFormatter(argparse.RawTextHelpFormatter):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, max_help_position=30, **kwargs)

    def _actions_usage(self, actions, groups):
        # argparse gives optionals first with the index where positionals start.
        parts, pos_start = self._get_actions_usage_parts(actions, groups)
        return " ".join(self._decolor(part) for part in parts[pos_start:] + parts[:pos_start] if part)

    def _format_usage(self, usage, actions, groups, prefix):
        if prefix is None:
            prefix = gettext("usage: ")
        if usage is not None or not actions:
            usage = ("%(prog)s" if usage is None else usage) % {"prog": self._prog}
        else:
            prog = "%(prog)s" % {"prog": self._prog}
            optionals = [action for action in actions if action.option_strings]
            positionals = [action for action in actions if not action.option_strings]
            usage = " ".join(filter(None, [prog, self._actions_usage(positionals + optionals, groups)]))
            text_width = self._width - self._current_indent
            if len(prefix) + len(usage) > text_width:
                part_regexp = r"\(.*?\)+|\[.*?\]+|\S+"
                opt_usage = self._actions_usage(optionals, groups)
                pos_usage = self._actions_usage(positionals, groups)
                opt_parts = re.findall(part_regexp, opt_usage)
                pos_parts = re.findall(part_regexp, pos_usage)
                assert " ".join(opt_parts) == opt_usage
                assert " ".join(pos_parts) == pos_usage

                def get_lines(parts, indent, prefix=None):
                    lines, line = [], []
                    line_len = len(prefix) - 1 if prefix is not None else len(indent) - 1
                    for part in parts:
                        if line_len + 1 + len(part) > text_width and line:
                            lines.append(indent + " ".join(line))
                            line, line_len = [], len(indent) - 1
                        line.append(part)
                        line_len += len(part) + 1
                    if line:
                        lines.append(indent + " ".join(line))
                    if prefix is not None:
                        lines[0] = lines[0][len(indent):]
                    return lines

                if len(prefix) + len(prog) <= 0.75 * text_width:
                    indent = " " * (len(prefix) + len(prog) + 1)
                    if pos_parts:
                        lines = get_lines([prog] + pos_parts, indent, prefix) + get_lines(opt_parts, indent)
                    elif opt_parts:
                        lines = get_lines([prog] + opt_parts, indent, prefix)
                    else:
                        lines = [prog]
                else:
                    indent = " " * len(prefix)
                    lines = get_lines(pos_parts + opt_parts, indent)
                    if len(lines) > 1:
                        lines = get_lines(pos_parts, indent) + get_lines(opt_parts, indent)
                    lines = [prog] + lines
                usage = "\n".join(lines)
        return f"{prefix}{usage}\n\n"

    def _format_action_invocation(self, action):
        if not action.option_strings:
            metavar, = self._metavar_formatter(action, self._get_default_metavar_for_positional(action))(1)
            return metavar
        if action.nargs == 0:
            return ", ".join(action.option_strings)
        args_string = self._format_args(action, self._get_default_metavar_for_optional(action))
        return ", ".join(action.option_strings) + " " + str(args_string)


class ArgsPropagationParser(argparse.ArgumentParser):
    def parse_args(self, args=None, namespace=None):
        args, unknowns = self.parse_known_args(args, namespace)
        sys.argv = sys.argv[:1] + unknowns
        return args
