import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import pytest  # noqa: E402

import trov.diagnoser.reliability_evaluation as reliability_evaluation  # noqa: E402


@pytest.fixture
def mod():
    return reliability_evaluation


@pytest.fixture(autouse=True)
def _close_figures():
    plt.close("all")
    yield
    plt.close("all")


@pytest.fixture
def rebind(mod):
    """Rebinds module-level names for one test and restores them afterwards."""
    saved = {}

    def _rebind(name, value):
        if name not in saved:
            saved[name] = getattr(mod, name)
        setattr(mod, name, value)
        return value

    yield _rebind
    for name, value in saved.items():
        setattr(mod, name, value)


@pytest.fixture
def displayed(rebind):
    """Captures what the module shows through `display`, as widget values."""
    shown = []
    rebind("display", lambda obj: shown.append(obj))
    return shown
