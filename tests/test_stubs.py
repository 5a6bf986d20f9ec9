"""The parser stub re-exports argparse's public names. stubtest skips names
whose objects come from another module, so a class that argparse adds would
go unnoticed there."""

import argparse
import ast
import pathlib

import tavik.utils.parser as P


def test_parser_stub_reexports_argparse_all():
    stub = pathlib.Path(P.__file__).with_name("parser.pyi")
    reexported = [
        alias.asname
        for node in ast.parse(stub.read_text()).body
        if isinstance(node, ast.ImportFrom) and node.module == "argparse"
        for alias in node.names
        if alias.asname == alias.name
    ]
    assert sorted(reexported) == sorted(argparse.__all__)
