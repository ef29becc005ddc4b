"""Runs blender_tests.py (or, with --zip, blender_zip.py) in Blender, for
CTest: blender -b --factory-startup with the built kvx module on the path.
Exits 77, a skip, with the reason, where Blender or the kvx module is
missing."""

import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path


def main():
    blender = os.environ.get("BLENDER") or shutil.which("blender")
    if not blender or not os.path.exists(blender):
        print("skipped: Blender is not installed (apt-get install blender)")
        return 77
    here = Path(__file__).resolve().parent
    env = dict(os.environ)
    probe = subprocess.run([sys.executable, "-c", "import kvx"], env=env, capture_output=True)
    if probe.returncode != 0:
        print("skipped: the kvx module does not import (build it: cmake --build build "
              "--target _kvx)")
        return 77
    script = "blender_tests.py"
    if sys.argv[1:] == ["--zip"]:
        # The zip goes to a user folder of its own, never the real one.
        script = "blender_zip.py"
        if not os.path.exists(env.get("KVX_BLENDER_ZIP", "")):
            print("skipped: KVX_BLENDER_ZIP names no zip (cmake --build build --target "
                  "blender_addon)")
            return 77
        scratch = tempfile.mkdtemp(prefix="kvx-blender-user-")
        env["BLENDER_USER_SCRIPTS"] = os.path.join(scratch, "scripts")
        env["BLENDER_USER_CONFIG"] = os.path.join(scratch, "config")
    command = [blender, "-b", "--factory-startup", "--python-exit-code", "1",
               "--python", str(here / script)]
    try:
        return subprocess.run(command, env=env, stdin=subprocess.DEVNULL).returncode
    finally:
        if script == "blender_zip.py":
            shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
