"""meshio's command line, with the format "kvx" known to it.

    python3 -m kvx.meshio_cli convert scan.kvx scan.vtk
    python3 -m kvx.meshio_cli info part.kvx

takes the same subcommands and options as the `meshio` command (Debian's
meshio-tools): it registers kvx, then hands over to meshio's own main. The
`meshio` command by itself does not import kvx and so does not know the
format.
"""

import sys

import meshio

from kvx import _meshio  # importing kvx registers the format with meshio


def main(argv=None):
    from meshio._cli import main as meshio_main  # what the `meshio` command runs

    assert _meshio.FORMAT in meshio.extension_to_filetypes[".kvx"]
    return meshio_main(argv)


if __name__ == "__main__":
    sys.exit(main())
