# Types of the native module tavik.utils.parser.

from argparse import (
    Action as Action,
    ArgumentDefaultsHelpFormatter as ArgumentDefaultsHelpFormatter,
    ArgumentError as ArgumentError,
    ArgumentParser as ArgumentParser,
    ArgumentTypeError as ArgumentTypeError,
    BooleanOptionalAction as BooleanOptionalAction,
    FileType as FileType,
    HelpFormatter as HelpFormatter,
    MetavarTypeHelpFormatter as MetavarTypeHelpFormatter,
    Namespace as Namespace,
    ONE_OR_MORE as ONE_OR_MORE,
    OPTIONAL as OPTIONAL,
    PARSER as PARSER,
    RawDescriptionHelpFormatter as RawDescriptionHelpFormatter,
    RawTextHelpFormatter as RawTextHelpFormatter,
    REMAINDER as REMAINDER,
    SUPPRESS as SUPPRESS,
    ZERO_OR_MORE as ZERO_OR_MORE,
    _MutuallyExclusiveGroup,
)
from collections.abc import Iterable
from typing import TypeVar, overload

_N = TypeVar("_N")

class ArgsPropagationParser(ArgumentParser):
    # Also rebinds sys.argv to the program name and the unrecognised strings.
    @overload
    def parse_args(self, args: Iterable[str] | None = ..., namespace: None = ...) -> Namespace: ...
    @overload
    def parse_args(self, args: Iterable[str] | None, namespace: _N) -> _N: ...
    @overload
    def parse_args(self, *, namespace: _N) -> _N: ...

class Tavik_HelpFormatter(RawTextHelpFormatter):
    # The help position is always 30: max_help_position is refused by
    # keyword, and a positional one collides with it, so width and color
    # can only be given by keyword.
    def __init__(self, prog: str, indent_increment: int = ..., *, width: int | None = ..., color: bool = ...) -> None: ...
    def _format_usage(
        self, usage: str | None, actions: Iterable[Action], groups: Iterable[_MutuallyExclusiveGroup], prefix: str | None
    ) -> str: ...
    def _format_action_invocation(self, action: Action) -> str: ...
