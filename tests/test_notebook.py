"""What a user sees in Jupyter: figures and results lines in a real kernel."""

import os

import nbformat
import pytest
from nbclient import NotebookClient

WIDGET = "application/vnd.jupyter.widget-view+json"

CLASSIFIER = """
import numpy as np
from trov.diagnoser.reliability_evaluation import AdaptiveConformalClassifier

class Model:
    def predict_proba(self, x):
        p = np.asarray(x, dtype=float)[:, 0]
        return np.column_stack([1 - p, p])

# calibration rows score 0.9, 0.6 (twice), 0.7 ...: q is their largest score, 0.9
calib_p = np.array([0.9, 0.6, 0.4, 0.7, 0.2, 0.8, 0.35, 0.65, 0.1, 0.75])
calib_y = np.array([1, 1, 0, 1, 0, 1, 0, 1, 0, 1])
test_p = np.array([0.95, 0.5, 0.05, 0.6, 0.3, 0.92, 0.08, 0.45])
test_y = np.array([1, 1, 0, 0, 0, 1, 1, 0])
acc = AdaptiveConformalClassifier()
acc.fit(Model(), None, None, test_p[:, None], test_y, calib_p[:, None], calib_y)
acc.plot()
"""

REGRESSOR = """
from trov.diagnoser.reliability_evaluation import ResidualConformalRegressor
rng = np.random.default_rng(0)
x = rng.normal(size=(240, 2))
y = 3 * x[:, 0] + rng.normal(size=240)

class Line:
    def predict(self, x):
        return 3 * np.asarray(x)[:, 0]

rcr = ResidualConformalRegressor(alpha=0.1, depth=2)
rcr.fit(Line(), x[:160], y[:160], x[160:], y[160:], x[120:160], y[120:160])
rcr.plot()
print(repr((str(np.round(rcr.coverage, 6)), str(np.round(np.mean(rcr.width), 6)))))
"""


REPORT = """
from trov.diagnoser.report import coverage_report
coverage_report(acc, bins=4)
"""


def run(sources):
    notebook = nbformat.v4.new_notebook()
    notebook.cells = [nbformat.v4.new_code_cell(source) for source in sources]
    env = dict(os.environ)
    env.pop("MPLBACKEND", None)  # the kernel's own inline backend, as in Jupyter
    NotebookClient(notebook, timeout=120, kernel_name="python3").execute(env=env)
    return notebook


def widget_texts(notebook, cell):
    state = notebook.metadata["widgets"]["application/vnd.jupyter.widget-state+json"]["state"]
    models = [out["data"][WIDGET]["model_id"] for out in cell.outputs if WIDGET in out.get("data", {})]
    return [state[m]["state"]["value"] for m in models]


def kinds(cell):
    """The output kinds of a cell in order: 'png' for a figure, 'widget' for a results line."""
    out = []
    for output in cell.outputs:
        data = output.get("data", {})
        if "image/png" in data:
            out.append("png")
        elif WIDGET in data:
            out.append("widget")
    return out


def test_figures_and_results_lines_in_a_kernel():
    notebook = run([CLASSIFIER, REGRESSOR, REPORT])
    classifier, regressor, report = notebook.cells
    for cell in notebook.cells:
        assert not [o for o in cell.outputs if o.output_type == "error"], cell.outputs

    # q = 0.9: rows 0.95 and 0.92 (and 0.05, 0.08 whose class 0 has 0.95 and 0.92)
    # get one class, the other four both; coverage 7/8, bandwidth 0.5 * 4/8
    assert kinds(classifier) == ["png", "widget", "widget", "widget"]
    assert widget_texts(notebook, classifier) == [
        "<b>Results:</b>",
        "Empirical Coverage: 0.875",
        "Average Bandwidth: 0.25",
    ]

    assert kinds(regressor) == ["png", "png", "widget", "widget", "widget"]
    coverage, bandwidth = eval(regressor.outputs[-1]["text"])
    assert widget_texts(notebook, regressor) == [
        "<b>Results:</b>",
        f"Empirical Coverage: {coverage}",
        f"Average Bandwidth: {bandwidth}",
    ]

    # The report shows itself as HTML: its summary, tables and inline figures.
    (shown,) = [o for o in report.outputs if o.output_type == "execute_result"]
    html = shown["data"]["text/html"]
    assert "Coverage report: classification" in html and "by_set_size" in html
    assert html.count('src="data:image/png;base64,') == 2


def test_export_shows_results_lines_without_the_network():
    # A widget view needs a script from the network; the export shows a static copy.
    pytest.importorskip("nbconvert")
    import re
    import sys
    from pathlib import Path

    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
    try:
        import demo
    finally:
        sys.path.pop(0)
    notebook = nbformat.v4.new_notebook()
    cell = nbformat.v4.new_code_cell("rcr.plot()")
    views = [{"model_id": m, "version_major": 2, "version_minor": 0} for m in ("a", "b")]
    cell.outputs = [nbformat.v4.new_output("display_data", data={WIDGET: v, "text/plain": "HTML"})
                    for v in views]
    notebook.cells = [cell]
    values = {"a": "<b>Results:</b>", "b": "Empirical Coverage: 0.875"}
    notebook.metadata["widgets"] = {"application/vnd.jupyter.widget-state+json": {
        "state": {m: {"model_name": "HTMLModel", "state": {"value": v}} for m, v in values.items()},
        "version_major": 2, "version_minor": 0}}

    html = demo.export_html(demo.with_static_results(notebook))
    static = re.sub(r"<script.*?</script>", "", html, flags=re.S)
    assert "<b>Results:</b>" in static and "Empirical Coverage: 0.875" in static
    assert [o["data"]["text/html"] for o in cell.outputs] == list(values.values())
    assert all(WIDGET in o["data"] for o in cell.outputs)  # the live view stays for Jupyter
