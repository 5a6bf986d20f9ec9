"""A command line read in two stages with tavik.utils.parser: each stage
takes the options it knows and leaves the rest in sys.argv for the next one.
The second stage loads settings through tavik.utils.dicts and merges them.
"""

import functools
import pprint
import shlex
import sys

from tavik.utils import dicts
from tavik.utils.parser import ArgsPropagationParser, Tavik_HelpFormatter

COMMAND_LINE = [
    "deploy", "--env", "prod", "billing",
    "--json", '{"service": {"replicas": 2, "tags": ["core"]}}',
    "--kv", 'region=eu-west owner="Data Team"',
    "-v",
    "--json", '{"service": {"replicas": 3}}',
]


def general_stage():
    # No -h here: --help belongs to the stage that knows the settings.
    stage = ArgsPropagationParser(prog="deploy", formatter_class=Tavik_HelpFormatter,
                                  add_help=False, color=False)
    stage.add_argument("--env", choices=["dev", "staging", "prod"], default="dev")
    stage.add_argument("-v", "--verbose", action="store_true")
    return stage


def settings_stage():
    # A fixed width, so that the help reads the same on every terminal.
    formatter = functools.partial(Tavik_HelpFormatter, width=60)
    stage = ArgsPropagationParser(prog="deploy", formatter_class=formatter, color=False,
                                  description="Load and merge the service settings.")
    stage.add_argument("service", help="name of the service")
    stage.add_argument("-j", "--json", action="append", default=[], metavar="TEXT",
                       type=dicts.load_dict_from_json_string, help="settings as a JSON object")
    stage.add_argument("-k", "--kv", action="append", default=[], metavar="TEXT",
                       type=dicts.load_dict_from_kv_string, help="settings as key=value pairs")
    stage.add_argument("--list-extend", action="store_true", help="extend lists marked for it")
    stage.add_argument("--settings-directory", metavar="PATH", help="where further settings live")
    return stage


def staged_demo():
    saved = sys.argv
    sys.argv = list(COMMAND_LINE)
    try:
        print("command line:", shlex.join(sys.argv[1:]))
        general = general_stage().parse_args()
        print(f"stage 1: env={general.env} verbose={general.verbose}")
        print("         left for stage 2:", sys.argv[1:])

        stage = settings_stage()
        print("\nstage 2 --help:\n")
        print(stage.format_help())
        options = stage.parse_args()
        merged = {"service": {"name": options.service}}
        for loaded in options.json + options.kv:
            dicts.recursive_update(merged, loaded, list_extend=options.list_extend)
        print("stage 2: merged settings")
        print(pprint.pformat(merged, sort_dicts=False, width=60))
        print("         left after stage 2:", sys.argv[1:])
    finally:
        sys.argv = saved


if __name__ == "__main__":
    staged_demo()
