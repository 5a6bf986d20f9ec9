"""Checks the wheel in DIR: it must be tagged for this interpreter's platform
and hold exactly its two extension modules (besides its metadata), and both
must import from it next to the host stand-ins.

    python3.14 tools/check_wheel.py DIR HOST_DIR
"""

import os
import pathlib
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
    platform_tag = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    if wheel.stem.rsplit("-", 1)[-1] != platform_tag:
        sys.exit(f"{wheel.name} is not tagged {platform_tag}")
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    expected = sorted(f"tavik/utils/{name}{suffix}" for name in ("dicts", "parser"))
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
    print(f"{wheel.name}: {', '.join(expected)}; both import")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
