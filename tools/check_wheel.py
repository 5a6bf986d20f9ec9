"""Checks the wheel in DIR: it must carry a manylinux tag for this machine,
the very tag auditwheel finds it consistent with (it links nothing beyond
the C library), and hold exactly the two extension modules for this
interpreter and their stubs (besides its metadata); both modules must import
from it next to the host stand-ins.

    python3.14 tools/check_wheel.py DIR HOST_DIR
"""

import os
import pathlib
import platform
import re
import subprocess
import sys
import sysconfig
import tempfile
import zipfile


def main(wheel_dir, host_dir):
    wheels = sorted(pathlib.Path(wheel_dir).glob("*.whl"))
    if len(wheels) != 1:
        sys.exit(f"expected one wheel in {wheel_dir}, found {[w.name for w in wheels]}")
    wheel = wheels[0]
    platform_tag = wheel.stem.rsplit("-", 1)[-1]
    if not re.fullmatch(r"manylinux_\d+_\d+_" + re.escape(platform.machine()), platform_tag):
        sys.exit(f"{wheel.name} is not tagged manylinux_X_Y_{platform.machine()}")
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    expected = sorted(f"tavik/utils/{name}{ext}" for name in ("dicts", "parser") for ext in (suffix, ".pyi"))
    with zipfile.ZipFile(wheel) as archive:
        payload = sorted(
            n for n in archive.namelist() if not n.split("/", 1)[0].endswith(".dist-info")
        )
        if payload != expected:
            sys.exit(f"{wheel.name} holds {payload}, expected {expected}")
        with tempfile.TemporaryDirectory() as unpacked:
            archive.extractall(unpacked)
            env = dict(os.environ, PYTHONPATH=os.pathsep.join([unpacked, os.path.abspath(host_dir)]))
            subprocess.run(
                [sys.executable, "-c", "import tavik.utils.dicts, tavik.utils.parser"],
                env=env,
                cwd=unpacked,
                check=True,
            )
    shown = subprocess.run([sys.executable, "-m", "auditwheel", "show", wheel], capture_output=True, text=True)
    verdict = " ".join(shown.stdout.split())
    if shown.returncode != 0 or f'consistent with the following platform tag: "{platform_tag}"' not in verdict:
        sys.exit(f"auditwheel show {wheel.name} (tagged {platform_tag}):\n{shown.stdout}{shown.stderr}")
    print(f"{wheel.name}: {', '.join(expected)}; both import; auditwheel: consistent with {platform_tag}")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
