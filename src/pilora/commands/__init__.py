"""The subcommands of the ``pilora`` command, one module each, over shared option and output helpers."""
