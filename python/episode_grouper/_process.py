"""How the package's commands end."""
import os
import sys


def exit_now(status):
    """Ends the process with `status` once standard output and error are
    flushed, without the interpreter's teardown: with matplotlib or
    distributed loaded, freeing every module's objects takes a quarter of a
    second and more, which a command has no use for once its files are
    written and closed, its cluster left and its children waited for."""
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError):  # closed, or a reader gone: nothing more can be said
            pass
    os._exit(status)
