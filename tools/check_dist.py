"""Checks built archives and an installed copy of the module.

  check_dist.py archives WHEEL SDIST   what the wheel and the sdist must carry
  check_dist.py installed               imports the installed module and runs it
"""
import sys
import tarfile
import zipfile

STUBS = ["trov/diagnoser/reliability_evaluation.pyi", "trov/diagnoser/py.typed"]
PACKAGE = ["trov/__init__.py", "trov/diagnoser/__init__.py"]


def missing(names, wanted):
    return [w for w in wanted if not any(n == w or n.endswith("/" + w) for n in names)]


def check_archives(wheel, sdist):
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
    problems = ["wheel lacks " + m for m in missing(names, STUBS + PACKAGE)]
    if not any(n.startswith("trov/diagnoser/reliability_evaluation.") and n.endswith(".so")
               for n in names):
        problems.append("wheel lacks the extension module")
    if not any(n.startswith("trov/diagnoser/conformal.") and n.endswith(".so") for n in names):
        problems.append("wheel lacks the conformal module")
    problems += ["wheel lacks " + m for m in missing(names, ["trov/diagnoser/conformal.pyi"])]
    if not any(".dist-info/" in n and n.rsplit("/", 1)[-1].startswith("LICENSE") for n in names):
        problems.append("wheel lacks LICENSE in its dist-info")
    with tarfile.open(sdist) as archive:
        names = archive.getnames()
    wanted = ["python/" + s for s in STUBS + PACKAGE]
    wanted += ["LICENSE", "pyproject.toml", "CMakeLists.txt", "src/diagnoser/reliability_evaluation.cpp"]
    problems += ["sdist lacks " + m for m in missing(names, wanted)]
    problems += ["sdist carries build output " + n for n in names if "/build/" in n or n.endswith(".so")]
    return problems


def check_installed():
    import importlib.util
    import os

    import numpy as np
    from sklearn.linear_model import LogisticRegression

    from trov.diagnoser import reliability_evaluation as mod

    folder = os.path.dirname(mod.__file__)
    problems = ["installed package lacks " + name for name in ("reliability_evaluation.pyi", "py.typed")
                if not os.path.exists(os.path.join(folder, name))]
    if importlib.util.find_spec("trov").origin.find("site-packages") < 0:
        problems.append("module imported from outside site-packages: " + mod.__file__)
    rng = np.random.RandomState(0)
    x = rng.normal(size=(200, 3))
    y = (x[:, 0] + 0.3 * rng.normal(size=200) > 0).astype(int)
    model = LogisticRegression().fit(x[:100], y[:100])
    acc = mod.AdaptiveConformalClassifier(alpha=0.1)
    acc.fit(model, x[:100], y[:100], x[150:], y[150:], x[100:150], y[100:150])
    acc.diagnose()
    if not 0.0 <= acc.coverage <= 1.0:
        problems.append("coverage out of range: %r" % acc.coverage)
    print("imported and ran", mod.__file__)
    return problems


def main(argv):
    if len(argv) == 3 and argv[0] == "archives":
        problems = check_archives(argv[1], argv[2])
    elif argv == ["installed"]:
        problems = check_installed()
    else:
        sys.exit(__doc__)
    for problem in problems:
        print("check_dist:", problem)
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main(sys.argv[1:])
