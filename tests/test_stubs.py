import os
import subprocess
import sys
from pathlib import Path

import mypy.stubtest  # noqa: F401  (mypy is part of the test extra on every interpreter)


def test_stub_matches_runtime_module(mod, tmp_path):
    """mypy's stubtest: every class, method, parameter name and default in the
    stubs of both modules exists at runtime with the same shape, and the reverse."""
    env = dict(os.environ)
    package_root = Path(mod.__file__).resolve().parents[2]
    if "site-packages" not in package_root.parts:
        # A development build imported through PYTHONPATH, which mypy does not read.
        env["MYPYPATH"] = str(package_root)
    config = Path(__file__).with_name("stubtest.ini")
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(config), mod.__name__,
         "trov.diagnoser.report", "trov.diagnoser.conformal"],
        cwd=str(tmp_path), env=env, stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT, universal_newlines=True, timeout=300)
    assert result.returncode == 0, result.stdout
