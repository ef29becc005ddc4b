"""meshio's command line, with the format "kvx" known to it.

    python3 -m kvx.meshio_cli convert scan.kvx scan.vtk
    python3 -m kvx.meshio_cli convert box.obj box.kvx   # quads become triangles
    python3 -m kvx.meshio_cli info part.kvx

takes the same subcommands and options as the `meshio` command (Debian's
meshio-tools): it registers kvx, then hands over to meshio's own main. The
`meshio` command by itself does not import kvx and so does not know the
format.

Unlike the `meshio` command, it reports a failure as the programs do: one
line on standard error, "kvx.meshio_cli: <file>: <why>", never a traceback,
and the status says what failed: 1 usage (meshio's own message), 2 an input
that cannot be read or a mesh the output's format cannot hold, 3 an output
that cannot be written, 4 memory. Warnings are one line each too.
"""

import os
from pathlib import Path
import sys
import types
import warnings

import meshio

from kvx import KvxIOError, _meshio  # importing kvx registers the format with meshio

PROGRAM = "kvx.meshio_cli"


class _Failure(Exception):
    """A failure of the run: the exit status and the one line that says it."""

    def __init__(self, status, message):
        super().__init__(message)
        self.status = status


def _one_line(text):
    return " ".join(str(text).splitlines()).strip()


def _about(filename, message):
    """The message naming the file, once."""
    name = os.fsdecode(filename) if isinstance(filename, (str, bytes, os.PathLike)) else "<buffer>"
    message = _one_line(message)
    return message if message.startswith(f"{name}:") else f"{name}: {message}"


def _system_text(e):
    """An OSError's one line: kvx's own message, or the file and strerror."""
    if isinstance(e, KvxIOError):
        return str(e)
    if e.filename is not None and e.strerror:
        return f"{os.fsdecode(e.filename)}: {e.strerror}"
    return str(e)


def _read_path(path, file_format):
    """meshio.read of a path, trying each format its extension may be, as
    meshio does, but raising the last reader's ReadError where meshio
    prints it to standard output and exits."""
    if not os.path.exists(path):
        raise FileNotFoundError(2, "no such file", path)
    formats = [file_format] if file_format else meshio._helpers._filetypes_from_path(Path(path))
    failure = None
    for name in formats:
        if name not in meshio._helpers.reader_map:
            raise meshio.ReadError(f"unknown file format '{name}'")
        try:
            return meshio._helpers.reader_map[name](str(path))
        except meshio.ReadError as e:
            failure = e
    raise failure


def read(filename, file_format=None):
    """meshio.read for the subcommands, its failures as _Failure."""
    try:
        if hasattr(filename, "read"):
            return meshio.read(filename, file_format)
        return _read_path(os.fspath(filename), file_format)
    except MemoryError:
        raise _Failure(4, _about(filename, "out of memory")) from None
    except OSError as e:
        raise _Failure(2, _about(filename, _system_text(e))) from None
    except meshio.ReadError as e:
        raise _Failure(2, _about(filename, e)) from None
    except Exception as e:  # noqa: BLE001 -- a reader's fault on a malformed file
        raise _Failure(2, _about(filename, f"cannot be read: {type(e).__name__}: {e}")) from None


def write(filename, mesh, file_format=None, **kwargs):
    """meshio.write for the subcommands, its failures as _Failure."""
    try:
        return meshio.write(filename, mesh, file_format, **kwargs)
    except MemoryError:
        raise _Failure(4, _about(filename, "out of memory")) from None
    except OSError as e:
        raise _Failure(3, _about(filename, _system_text(e))) from None
    except (meshio.WriteError, meshio.ReadError) as e:  # ReadError: no format for the name
        raise _Failure(2, _about(filename, e)) from None
    except Exception as e:  # noqa: BLE001 -- a writer's fault on a mesh it cannot hold
        raise _Failure(2, _about(filename, f"cannot be written: {type(e).__name__}: {e}")) \
            from None


def _show_warning(message, category, filename, lineno, file=None, line=None):
    print(f"{PROGRAM}: warning: {_one_line(message)}", file=sys.stderr if file is None else file)


def main(argv=None):
    from meshio import _cli  # what the `meshio` command runs
    from meshio._cli import _main

    assert _meshio.FORMAT in meshio.extension_to_filetypes[".kvx"]
    # The subcommands' modules read and write through the names they
    # imported; for this run they are the functions above.
    modules = [m for m in vars(_main).values() if isinstance(m, types.ModuleType)
               and m.__name__.startswith("meshio._cli.")]
    saved = [(m, name, getattr(m, name)) for m in modules for name in ("read", "write")
             if hasattr(m, name)]
    for m, name, _ in saved:
        setattr(m, name, read if name == "read" else write)
    shown = warnings.showwarning
    warnings.showwarning = _show_warning
    try:
        return _cli.main(argv)
    except _Failure as e:
        print(f"{PROGRAM}: {e}", file=sys.stderr)
        return e.status
    except SystemExit as e:
        return 1 if e.code == 2 else e.code  # argparse's usage errors
    except KeyboardInterrupt:
        return 130
    finally:
        warnings.showwarning = shown
        for m, name, original in saved:
            setattr(m, name, original)


if __name__ == "__main__":
    sys.exit(main())
