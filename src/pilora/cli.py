"""The ``pilora`` command: a blending study from a quality record, written as tables, figures and a report.

``pilora run [RECORD]`` simulates one stacking plan, ``pilora compare [RECORD]`` plan families
at equal stacker speed, replicated and ranked with intervals, and ``pilora optimise [RECORD]``
searches stacker paths and checks the front on the fine grid against chevrons; each writes its
outputs into one folder (``--out``, default ``pilora-out``) and ends with a self-contained
``report.html``.
Without RECORD they run on the sample record shipped with the package
(:func:`pilora.sample_record`). ``pilora --help`` and ``pilora run --help`` explain every option
and its unit.

This module only wires the parser: every subcommand is a module of :mod:`pilora.commands` (listed
in :data:`SUBCOMMANDS`) with ``add_parser(subparsers)``, which adds its parser and sets its
handler (``handler(args) -> int``); what they share (options, checks, outputs) lives in
:mod:`pilora.commands.common` and :mod:`pilora.commands.outputs`.

Conventions: lengths in m, volumes in m³, masses in t, flows in t/h, bulk densities in t/m³, times
in h (stacker speeds in m/min, swing periods in minutes), angles in degrees. The homogenisation
effect H is std in / std out (mass weighted), the input and the reclaimed material each taken in
consecutive blocks of one hour of the record's mean feed (t) first: the basis every report and
summary.json states; flow variability is in % (the coefficient of variation of the tonnes
reclaimed per block).

Seeds: every run uses the seed given by ``--seed`` (default 1, so the same command gives the same
bytes); ``--seed random`` draws one from the operating system. The seed is printed and stored in
``summary.json``. ``pilora run --seed s`` seeds the bed with s. In ``compare`` the seed is the
run seed of :func:`pilora.evaluate`: task i (plan setting c, replicate r: i = c x runs + r) runs
with the bed seed ``pilora.task_seed(seed, i)``, so no two runs share a random walk; grid.csv
holds each task's seed, and ``pilora run --seed <that seed>`` replays its first replicate.

Exit status: 0 on success, 2 for a mistake in the command or its input (one line on standard
error says what to change, never a traceback), 130 when interrupted.
"""

from __future__ import annotations

import argparse
import importlib
import sys
import textwrap
from collections.abc import Sequence
from typing import Any, NoReturn

from .commands.common import UNITS, UsageError

__all__ = ["SUBCOMMANDS", "build_parser", "main"]

#: The subcommands, in the order ``pilora --help`` lists them: modules of pilora.commands.
SUBCOMMANDS = ("run", "compare", "optimise")


class _Exit(Exception):
    """argparse wanted to exit (help shown, or a usage error already printed)."""

    def __init__(self, status: int) -> None:
        super().__init__(status)
        self.status = status


class _Parser(argparse.ArgumentParser):
    subcommands: Any = None  # the subparsers action, on the command's own parser

    # Return from main() instead of leaving the interpreter, so the command runs in-process too.
    def exit(self, status: int = 0, message: str | None = None) -> NoReturn:
        if message:
            self._print_message(message, sys.stderr)
        raise _Exit(status)

    # One line on standard error for every mistake argparse finds (not its usage block), the
    # same form as the command's own refusals; exit status 2.
    def error(self, message: str) -> NoReturn:
        text = " ".join(message.split())
        self._print_message(f"{self.prog}: error: {text} (see {self.prog} --help)\n", sys.stderr)
        raise _Exit(2)


def build_parser() -> argparse.ArgumentParser:
    """The command's argument parser, one subparser per module in :data:`SUBCOMMANDS`."""
    from . import __version__

    parser = _Parser(
        prog="pilora", allow_abbrev=False,
        description=textwrap.fill("Simulate a blending bed stacked from a quality record, and write the reclaimed "
                                  "table, a JSON summary, figures and a self-contained report.html. Without a "
                                  "RECORD, the commands run on the sample record shipped with pilora."),
        epilog=UNITS, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"pilora {__version__}")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True,
                                       parser_class=_Parser)
    for name in SUBCOMMANDS:
        importlib.import_module(f".commands.{name}", __package__).add_parser(subparsers)
    parser.subcommands = subparsers  # each subcommand's parser names its own unknown options
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the ``pilora`` command with ``argv`` (default: ``sys.argv[1:]``); returns the exit status.

    0: done; 2: a mistake in the command line or the record, reported on stderr as
    ``pilora <command>: error: ...`` with what to change (never a traceback); 130: interrupted.
    """
    from .analysis import BlockMassError
    from .plans import PlanError
    from .record import RecordError

    argv = list(sys.argv[1:] if argv is None else argv)
    parser = build_parser()
    try:
        args, extra = parser.parse_known_args(argv)
        if extra:  # named by the subcommand's parser, which has the options (one line, exit status 2)
            subparsers = getattr(parser, "subcommands", None)
            sub = parser if subparsers is None else subparsers.choices.get(args.command, parser)
            sub.error(f"unrecognized arguments: {' '.join(extra)}")
    except _Exit as done:
        return done.status
    args.argv = argv
    try:
        return int(args.handler(args))
    except (UsageError, PlanError, RecordError, BlockMassError) as error:
        message = " ".join(str(error).split())
        print(f"pilora {args.command}: error: {message}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"pilora {args.command}: interrupted", file=sys.stderr)
        return 130
