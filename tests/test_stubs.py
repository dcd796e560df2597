import contextlib
import io
from pathlib import Path

import mypy.stubtest  # mypy is part of the test extra on every interpreter

from trov.diagnoser import conformal, report  # noqa: F401


def test_stub_matches_runtime_module(mod, tmp_path, monkeypatch):
    """mypy's stubtest: every class, method, parameter name and default in the
    stubs of the three modules exists at runtime with the same shape, and the reverse."""
    package_root = Path(mod.__file__).resolve().parents[2]
    if "site-packages" not in package_root.parts:
        # A development build imported through PYTHONPATH, which mypy does not read.
        monkeypatch.setenv("MYPYPATH", str(package_root))
    monkeypatch.chdir(tmp_path)
    config = Path(__file__).with_name("stubtest.ini")
    # Pickling in earlier tests leaves copyreg's cache on the classes (before 3.11).
    for module in (mod, report, conformal):
        for value in vars(module).values():
            if isinstance(value, type) and "__slotnames__" in vars(value):
                delattr(value, "__slotnames__")
    options = mypy.stubtest.parse_options(
        ["--mypy-config-file", str(config), mod.__name__, "trov.diagnoser.report",
         "trov.diagnoser.conformal"])
    # In this process: the modules are imported already, which a child would spend
    # most of its time on.
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        code = mypy.stubtest.test_stubs(options)
    assert code == 0, out.getvalue()
