"""What every subcommand of the ``pilora`` command shares."""

from __future__ import annotations

__all__ = ["UsageError"]


class UsageError(Exception):
    """A mistake in the command line or its input; the message says what to fix (exit status 2)."""
