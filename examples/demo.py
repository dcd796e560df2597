"""The tour: executes tour.ipynb in a real Jupyter kernel and writes, under build/demo/,
the executed notebook, its HTML export, every figure as PNG, the results lines and the
coverage reports the notebook saves (report-*.html)."""

import base64
import os
import sys
from pathlib import Path

import nbformat
from nbclient import NotebookClient
from nbconvert import HTMLExporter

HERE = Path(__file__).resolve().parent
OUT = HERE.parent / "build" / "demo"
WIDGET = "application/vnd.jupyter.widget-view+json"


def execute(notebook, cwd):
    env = dict(os.environ)
    env.pop("MPLBACKEND", None)  # the kernel's inline backend renders the figures
    client = NotebookClient(
        notebook, timeout=600, kernel_name="python3", resources={"metadata": {"path": str(cwd)}}
    )
    client.execute(env=env)
    return notebook


def widget_outputs(notebook):
    """The outputs that show an HTML widget, each with the widget's value, in display order."""
    state = notebook.metadata.get("widgets", {}).get(
        "application/vnd.jupyter.widget-state+json", {}
    ).get("state", {})
    for cell in notebook.cells:
        for output in cell.get("outputs", []):
            model = output.get("data", {}).get(WIDGET)
            if model is not None:
                yield output, state.get(model["model_id"], {}).get("state", {}).get("value")


def widget_values(notebook):
    """The values of the HTML widgets the notebook displayed, in display order."""
    return [value for _, value in widget_outputs(notebook)]


def with_static_results(notebook):
    """Writes each results line's value as text/html beside its widget view: a widget
    view needs a script from the network, the static copy does not."""
    for output, value in widget_outputs(notebook):
        if value is not None:
            output["data"]["text/html"] = value
    return notebook


def export_html(notebook):
    """The notebook as one HTML page that shows the static copy before a widget view,
    so that it reads offline."""
    config = HTMLExporter().default_config
    priority = list(config.NbConvertBase.display_data_priority)
    priority.remove("text/html")
    priority.insert(priority.index(WIDGET), "text/html")
    config.NbConvertBase.display_data_priority = priority
    exporter = HTMLExporter(config=config)
    html, _ = exporter.from_notebook_node(notebook)
    return html


def main():
    OUT.mkdir(parents=True, exist_ok=True)
    notebook = execute(nbformat.read(HERE / "tour.ipynb", as_version=4), HERE)
    with_static_results(notebook)
    nbformat.write(notebook, OUT / "tour.ipynb")
    html = export_html(notebook)
    (OUT / "tour.html").write_text(html, encoding="utf-8")

    figures = []
    for number, cell in enumerate(notebook.cells):
        for output in cell.get("outputs", []):
            png = output.get("data", {}).get("image/png")
            if png is not None:
                path = OUT / f"figure-{len(figures) + 1:02d}-cell{number:02d}.png"
                path.write_bytes(base64.b64decode(png))
                figures.append(path)
    lines = [value for value in widget_values(notebook) if value is not None]
    (OUT / "results.txt").write_text("\n".join(lines) + "\n", encoding="utf-8")

    print(f"executed notebook: {OUT / 'tour.ipynb'}")
    print(f"HTML export:       {OUT / 'tour.html'}")
    print(f"figures ({len(figures)}):      {OUT}/figure-*.png")
    print(f"results lines:     {OUT / 'results.txt'}")
    for line in lines:
        print("   ", line)
    reports = sorted(OUT.glob("report-*.html"))
    print(f"coverage reports:  {', '.join(str(path) for path in reports)}")
    return 0 if figures and lines and reports else 1


if __name__ == "__main__":
    sys.exit(main())
