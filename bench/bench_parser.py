"""Times the native help formatter and propagation parser against the same
classes written in Python. Run: PYTHONPATH=build/release:host python3.14 bench/bench_parser.py"""

import argparse
import functools
import re
import sys
import timeit
from gettext import gettext

import tavik.utils.parser as native


class HelpFormatter(argparse.RawTextHelpFormatter):
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


class PropagationParser(argparse.ArgumentParser):
    def parse_args(self, args=None, namespace=None):
        args, unknowns = self.parse_known_args(args, namespace)
        sys.argv = sys.argv[:1] + unknowns
        return args


def build(parser_class, formatter_class, width):
    p = parser_class(prog="stagetool", color=False, formatter_class=functools.partial(formatter_class, width=width))
    p.add_argument("-v", "--verbose", action="store_true", help="say more")
    p.add_argument("source", help="input file")
    p.add_argument("-c", "--config", metavar="FILE", help="settings file")
    p.add_argument("target", help="output directory")
    p.add_argument("-o", "--output", nargs="?", metavar="PATH", help="also write a report")
    p.add_argument("--level", choices=["low", "high"], help="detail")
    p.add_argument("-j", "--jobs", type=int, metavar="N", help="worker count")
    p.add_argument("extra", nargs="?", help="optional extra input")
    p.add_argument("--include", nargs="*", metavar="PATTERN", help="files to take")
    group = p.add_mutually_exclusive_group()
    group.add_argument("--json", action="store_true", help="JSON output")
    group.add_argument("--yaml", action="store_true", help="YAML output")
    p.add_argument("--configuration-location", metavar="DIR", help="where settings live")
    return p


def timed(function, number):
    start = timeit.default_timer()
    for _ in range(number):
        function()
    return (timeit.default_timer() - start) / number * 1e6


def compare(label, python, ours, number, result=lambda value: value):
    assert result(python()) == result(ours()), label
    t_py = min(timed(python, number) for _ in range(3))
    t_nat = min(timed(ours, number) for _ in range(3))
    print(f"{label:22} {t_py:10.2f} {t_nat:10.2f} {t_py / t_nat:8.2f}x")


def main(number=2000):
    print(f"{'call':22} {'python us':>10} {'native us':>10} {'speed-up':>9}")
    for width in (80, 40):
        py = build(argparse.ArgumentParser, HelpFormatter, width)
        nat = build(argparse.ArgumentParser, native.Tavik_HelpFormatter, width)
        compare(f"format_help w={width}", py.format_help, nat.format_help, number)
        compare(f"format_usage w={width}", py.format_usage, nat.format_usage, number)
    argv = ["src", "out", "-v", "-j", "4", "--stage2", "x", "--include", "a", "b"]
    sys.argv = ["bench"]
    py = build(PropagationParser, argparse.HelpFormatter, 80)
    nat = build(native.ArgsPropagationParser, argparse.HelpFormatter, 80)
    compare("parse_args", lambda: py.parse_args(argv), lambda: nat.parse_args(argv), number,
            result=lambda namespace: (vars(namespace), sys.argv))


if __name__ == "__main__":
    main()
