#include "diagnoser/report/report_html.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "diagnoser/common/errors.h"
#include "diagnoser/common/names.h"
#include "diagnoser/common/python_ops.h"
#include "diagnoser/report/rows.h"
#include "diagnoser/report/snapshot.h"

namespace trov {
namespace report {
namespace {

using py::literals::operator""_a;

const char* const kStyle =
    "<style>"
    ".trov-report{font-family:system-ui,-apple-system,'Segoe UI',Helvetica,Arial,sans-serif;"
    "font-size:13px;color:#222;max-width:1000px}"
    ".trov-report h2{font-size:18px;margin:6px 0}"
    ".trov-report h3{font-size:15px;margin:18px 0 4px}"
    ".trov-report h4{font-size:13px;margin:10px 0 2px}"
    ".trov-report p{margin:4px 0}"
    ".trov-report .note{color:#555}"
    ".trov-report table{border-collapse:collapse;margin:4px 0 8px}"
    ".trov-report th,.trov-report td{border-bottom:1px solid #ddd;padding:2px 8px;"
    "text-align:right;font-variant-numeric:tabular-nums}"
    ".trov-report th{background:#f2f2f2}"
    ".trov-report td.text,.trov-report th.text{text-align:left}"
    ".trov-report tr.under td{background:#fbdcdc}"
    ".trov-report tr.over td{background:#fdf1d2}"
    ".trov-report img{max-width:100%;display:block}"
    ".trov-report ul.findings{font-size:14px;margin:6px 0 10px;padding-left:20px}"
    "</style>";

}  // namespace

std::string escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

namespace {

// Shares and coverages with four decimals; other numbers with four significant digits.
bool is_share(const std::string& name) {
  for (const char* prefix :
       {"coverage", "share", "target", "band_", "fsc", "class_coverage", "expected_", "tol"}) {
    if (name.rfind(prefix, 0) == 0) return true;
  }
  return name == "alpha" || name == "bandwidth";
}

struct Cell {
  std::string text;
  bool number;
};

Cell format_cell(const py::handle& value, const std::string& column) {
  PyObject* v = value.ptr();
  char buffer[64];
  if (PyFloat_Check(v)) {
    double x = PyFloat_AS_DOUBLE(v);
    if (std::isnan(x)) return {"&ndash;", true};
    std::snprintf(buffer, sizeof buffer, is_share(column) ? "%.4f" : "%.4g", x);
    return {buffer, true};
  }
  if (!PyBool_Check(v) && PyIndex_Check(v) && !PyUnicode_Check(v)) {
    return {escape(text_of(value)), true};
  }
  if (value.is_none()) return {"&ndash;", false};
  return {escape(text_of(value)), false};
}

std::string row_class(const std::string& flag) {
  if (flag == "under-covered") return " class=\"under\"";
  if (flag == "over-covered") return " class=\"over\"";
  return "";
}

}  // namespace

// A DataFrame as an HTML table, flagged rows tinted.
std::string table_html(const py::object& frame) {
  py::tuple columns = snapshot(frame.attr("columns").attr("tolist")());
  std::vector<std::string> names;
  for (py::handle c : columns) names.push_back(text_of(c));
  auto flag_at = std::find(names.begin(), names.end(), "flag") - names.begin();
  std::string out = "<table><thead><tr>";
  for (const std::string& name : names) out += "<th>" + escape(name) + "</th>";
  out += "</tr></thead><tbody>";
  py::tuple rows = snapshot(frame.attr("values").attr("tolist")());
  for (py::handle row : rows) {
    // tolist() of a frame's values gives lists; anything else is read as a sequence.
    py::list cells =
        PyList_Check(row.ptr()) ? py::reinterpret_borrow<py::list>(row) : py::list(ns("list")(row));
    if (py::len(cells) < names.size()) {
      throw py::value_error("a table row holds fewer cells than the table has columns");
    }
    std::size_t at = static_cast<std::size_t>(flag_at);
    std::string flag = at < names.size() ? text_of(cells[at]) : std::string();
    out += "<tr" + row_class(flag) + ">";
    for (std::size_t k = 0; k < names.size(); ++k) {
      Cell cell = format_cell(cells[k], names[k]);
      out += cell.number ? "<td>" : "<td class=\"text\">";
      out += cell.text + "</td>";
    }
    out += "</tr>";
  }
  return out + "</tbody></table>";
}

const char* style() { return kStyle; }

namespace {

bool shift_key(const std::string& key) { return key.rfind("shift_", 0) == 0; }

// The summary's entries; `shift` true: those of the shift section, else the others.
std::string summary_html(const py::dict& summary, bool shift = false) {
  std::string out = "<table><tbody>";
  for (py::handle name : snapshot(summary)) {
    std::string key = text_of(name);
    if (shift_key(key) != shift) continue;
    Cell cell = format_cell(summary[name], key);
    out += "<tr><th class=\"text\">" + escape(key) + "</th>";
    out += cell.number ? "<td>" : "<td class=\"text\">";
    out += cell.text + "</td></tr>";
  }
  return out + "</tbody></table>";
}

// --- figures: matplotlib's Figure directly, so no pyplot state changes ---

std::vector<double> column_values(const py::object& frame, const char* name) {
  DoubleArray values =
      DoubleArray::ensure(frame[py::str(name)].attr("to_numpy")("dtype"_a = "float64"));
  if (!values) throw py::type_error(std::string("the column ") + name + " must be numeric");
  return std::vector<double>(values.data(), values.data() + values.size());
}

std::vector<std::string> column_texts(const py::object& frame, const char* name) {
  std::vector<std::string> out;
  for (py::handle v : snapshot(frame[py::str(name)].attr("tolist")())) out.push_back(text_of(v));
  return out;
}

// Text as it stands: matplotlib would read a pair of dollar signs as mathematics.
py::str plain_text(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '$') out += '\\';
    out += c;
  }
  return py::str(out);
}

// The lower end of a figure's y-scale: the lowest interval over all its panels.
double y_bottom(const py::object& frame, double target) {
  double bottom = target;
  for (double low : column_values(frame, "coverage_low")) bottom = std::min(bottom, low);
  return std::max(0.0, bottom - 0.05);
}

// Coverage per row with its interval as an error bar, flagged rows in red, and
// the target as the red dashed line of the module's plots.
void coverage_axes(const py::object& ax, const py::object& frame,
                   const std::vector<std::string>& ticks, double target, double bottom,
                   const char* xlabel) {
  std::vector<double> coverage = column_values(frame, "coverage");
  std::vector<double> low = column_values(frame, "coverage_low");
  std::vector<double> high = column_values(frame, "coverage_high");
  std::vector<std::string> flags = column_texts(frame, "flag");
  // Four reads of a frame that Python code may change between them.
  if (low.size() != coverage.size() || high.size() != coverage.size()) {
    throw py::value_error("the columns coverage, coverage_low and coverage_high differ in length");
  }
  py::list shown, below, above, x, flagged_x, flagged_y, labels;
  for (std::size_t k = 0; k < coverage.size(); ++k) {
    bool drawn = !std::isnan(coverage[k]);
    shown.append(coverage[k]);
    below.append(drawn ? std::max(0.0, coverage[k] - low[k]) : 0.0);
    above.append(drawn ? std::max(0.0, high[k] - coverage[k]) : 0.0);
    x.append(k);
    labels.append(plain_text(k < ticks.size() ? ticks[k] : std::string()));
    if (drawn && k < flags.size() && flags[k] == "under-covered") {
      flagged_x.append(k);
      flagged_y.append(coverage[k]);
    }
  }
  ax.attr("errorbar")(x, shown, "yerr"_a = py::make_tuple(below, above), "fmt"_a = "o",
                      "capsize"_a = 3, "label"_a = "coverage");
  if (py::len(flagged_x) > 0) {
    ax.attr("plot")(flagged_x, flagged_y, "o", "color"_a = "red", "zorder"_a = 3,
                    "label"_a = "under-covered");
  }
  ax.attr("axhline")(target, "color"_a = "red", "linestyle"_a = "--", "label"_a = "target");
  ax.attr("set_ylim")(bottom, 1.02);
  ax.attr("set_xlim")(-0.5, static_cast<double>(coverage.size()) - 0.5);
  ax.attr("set_xticks")(x);
  // Ranges are long: slanted when there are several.
  ax.attr("set_xticklabels")(labels, "rotation"_a = coverage.size() > 3 ? 30 : 0,
                             "ha"_a = coverage.size() > 3 ? "right" : "center", "fontsize"_a = 8);
  ax.attr("set_xlabel")(xlabel, "fontsize"_a = 12);
  ax.attr("set_ylabel")("coverage", "fontsize"_a = 12);
}

std::string png_uri(const py::object& figure) {
  figure.attr("tight_layout")();
  py::object buffer = ns("io").attr("BytesIO")();
  py::dict metadata;
  metadata["Software"] = py::none();  // nothing that names a web address, even inside the PNG
  figure.attr("savefig")(buffer, "format"_a = "png", "dpi"_a = 80, "metadata"_a = metadata);
  py::object encoded = ns("base64").attr("b64encode")(buffer.attr("getvalue")());
  return "data:image/png;base64," + encoded.attr("decode")("ascii").cast<std::string>();
}

std::string image(const std::string& uri, const std::string& alt) {
  return "<img src=\"" + uri + "\" alt=\"" + escape(alt) + "\">";
}

std::string single_figure(const py::object& frame, const char* key, const char* title,
                          const char* xlabel, double target) {
  py::ssize_t rows = py::len(frame);
  double width = std::min(9.0, std::max(4.0, 0.55 * static_cast<double>(rows) + 2.5));
  py::object figure = ns("Figure")("figsize"_a = py::make_tuple(width, 3.4));
  py::object ax = figure.attr("subplots")();
  coverage_axes(ax, frame, column_texts(frame, key), target, y_bottom(frame, target), xlabel);
  ax.attr("set_title")(title, "fontsize"_a = 15);
  ax.attr("legend")("fontsize"_a = 9);
  return image(png_uri(figure), title);
}

// Beyond this many features the figure shows those of lowest segment coverage.
constexpr std::size_t kMostPanels = 12;

// One small panel per feature, all on one y-scale.
std::string feature_figure(const py::object& frame, double target) {
  std::vector<std::string> row_feature = column_texts(frame, "feature");
  std::vector<double> coverage = column_values(frame, "coverage");
  std::vector<std::pair<double, std::string>> features;  // lowest coverage, name; column order
  for (std::size_t k = 0; k < coverage.size() && k < row_feature.size(); ++k) {
    if (features.empty() || features.back().second != row_feature[k]) {
      features.emplace_back(std::numeric_limits<double>::infinity(), row_feature[k]);
    }
    if (coverage[k] < features.back().first) features.back().first = coverage[k];
  }
  if (features.empty()) return "";
  std::string note;
  if (features.size() > kMostPanels) {
    std::stable_sort(features.begin(), features.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    features.resize(kMostPanels);
    note = "<p class=\"note\">The " + std::to_string(kMostPanels) +
           " features of lowest segment coverage, lowest first.</p>";
  }
  double bottom = y_bottom(frame, target);
  py::ssize_t count = static_cast<py::ssize_t>(features.size());
  py::ssize_t columns = std::min<py::ssize_t>(count, 3);
  py::ssize_t rows = (count + columns - 1) / columns;
  py::object figure =
      ns("Figure")("figsize"_a = py::make_tuple(3.8 * static_cast<double>(columns),
                                                3.0 * static_cast<double>(rows) + 0.6));
  py::object axes = figure.attr("subplots")(rows, columns, "squeeze"_a = false);
  py::object names = py::object(frame["feature"]).attr("astype")("str");
  for (py::ssize_t k = 0; k < rows * columns; ++k) {
    py::object ax = axes[py::make_tuple(k / columns, k % columns)];
    if (k >= count) {
      ax.attr("set_visible")(false);
      continue;
    }
    const std::string& name = features[static_cast<std::size_t>(k)].second;
    py::object part = frame[names.attr("__eq__")(py::str(name))];
    coverage_axes(ax, part, column_texts(part, "label"), target, bottom, "segment");
    ax.attr("set_title")(plain_text(name), "fontsize"_a = 12);
    // Axis labels on the outer panels only.
    if (k % columns != 0) ax.attr("set_ylabel")("");
    if (k + columns < count) ax.attr("set_xlabel")("");
  }
  figure.attr("suptitle")("Coverage by feature segment", "fontsize"_a = 15);
  return note + image(png_uri(figure), "Coverage by feature segment");
}

struct TableText {
  const char* name;
  const char* heading;
  const char* about;
};

const TableText kTables[] = {
    {"by_class", "Coverage by true class",
     "Share of each class's test rows whose set holds the true label, and its mean set size."},
    {"by_set_size", "Coverage by set size",
     "Coverage of the rows that received sets of each size: small sets that miss often "
     "show here."},
    {"by_feature", "Coverage by feature segment",
     "Each numeric feature cut into segments of nearly equal count, equal values always in "
     "one segment (one segment per value when there are few); other features by their most "
     "frequent values and other; missing values apart. Coverage and mean width or set size "
     "per segment."},
    {"worst_segments", "Worst segment of each feature",
     "The segment of lowest coverage along each feature."},
    {"by_group", "Coverage by calibration group",
     "Coverage of each group the sets or intervals were calibrated per: each group's own "
     "threshold promises it the target."},
    {"by_prediction", "Coverage by predicted value",
     "The same segments along the point prediction: where large or small predictions lose "
     "coverage."},
    {"segments", "Coverage over the stream",
     "The stream cut into consecutive segments of nearly equal count, rows from .. to "
     "(0-based): coverage with its Wilson interval, the mean width of the bounded, non-empty "
     "intervals (unbounded and empty ones counted apart) or the mean set size, and whether "
     "the segment starts after the alarm. Described, not tested: the guarantee is over the "
     "whole stream, not each segment."},
    {"rolling_coverage", "Rolling coverage",
     "Coverage of each window of consecutive rows, by the window's last row (row); of many "
     "windows every k-th, the last and the worst."},
    {"levels", "Coverage at each level",
     "Coverage at every level evaluate measured at, against its target 1 - alpha; expected_low "
     "and expected_high are the central range exact split conformal gives at that level with "
     "these calibration and test rows. Each level is tested against that law, in one family "
     "with the report's other tests. The other tables show the level marked shown."},
    {"pit", "PIT histogram",
     "Each test row's PIT value Q(x, y), the predictive distribution at the true target, in "
     "equal bins: uniform when the distributions are calibrated. band_low and band_high are the "
     "counts a calibrated model keeps each bin within, from the beta-binomial law of test rows "
     "sharing one calibration draw, at a level corrected over the bins; outside marks the bins "
     "beyond them. A test of its own, apart from the coverage flags."},
    {"shift features", "Features that tell the new rows apart",
     "The features whose permutation lowers the AUC of the density ratio's classifier most "
     "(auc_drop), largest first: where the new rows differ."},
};

const TableText* table_text(const std::string& name) {
  for (const TableText& t : kTables) {
    if (name == t.name) return &t;
  }
  return nullptr;
}

// Whether the guarantee carries over to new rows: the density ratio's test, its
// figures and the features behind it.
std::string shift_html(const py::dict& summary, const py::dict& tables, double confidence) {
  if (!summary.contains("shift_pvalue")) return "";
  char line[1000];
  std::snprintf(line, sizeof line,
                "A classifier tells the source rows (the calibration rows, or the test rows "
                "when new_x is given) from the new rows on out-of-fold predictions: its AUC "
                "(shift_auc) is 0.5 when it cannot tell them apart and 1 when it always can. "
                "shift_pvalue tests that the features of both are exchangeable; a shift is "
                "detected below %.4g (1 &minus; confidence). shift_ess is what the source rows "
                "are worth once weighted to the new rows (Kish). Weighted calibration mends a "
                "shift of the features only: it assumes P(y | x) unchanged.",
                1 - confidence);
  std::string out = "<h3>Shift to new rows</h3><p class=\"note\">" + std::string(line) + "</p>";
  out += summary_html(summary, true);
  if (tables.contains("shift features")) {
    const TableText* text = table_text("shift features");
    out += "<h4>" + escape(text->heading) + " <code>shift features</code></h4>";
    out += "<p class=\"note\">" + escape(text->about) + "</p>";
    out += table_html(tables["shift features"]);
  }
  return out;
}

// `summary[key]` as a number, NaN when it is missing or None.
double summary_number(const py::dict& summary, const char* key) {
  if (!summary.contains(key)) return std::numeric_limits<double>::quiet_NaN();
  py::object value = summary[key];
  return value.is_none() ? std::numeric_limits<double>::quiet_NaN()
                         : static_cast<double>(py::float_(value));
}

std::string number_text(double v, const char* format = "%.4g") {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, format, v);
  return buffer;
}

// Rolling coverage along the stream, the target and the alarm as lines.
std::string rolling_figure(const py::object& frame, const py::dict& summary, double target) {
  std::vector<double> row = column_values(frame, "row");
  std::vector<double> coverage = column_values(frame, "coverage");
  if (row.size() != coverage.size()) {
    throw py::value_error("the columns row and coverage differ in length");
  }
  double window = summary_number(summary, "window"), alarm = summary_number(summary, "alarm");
  std::string title = std::isnan(window)
                          ? std::string("Rolling coverage")
                          : "Rolling coverage, windows of " + number_text(window, "%.0f") + " rows";
  py::object figure = ns("Figure")("figsize"_a = py::make_tuple(9.0, 3.4));
  py::object ax = figure.attr("subplots")();
  ax.attr("plot")(to_list(row), to_list(coverage), "color"_a = "C0", "linewidth"_a = 1.2,
                  "label"_a = "coverage of the window");
  ax.attr("axhline")(target, "color"_a = "red", "linestyle"_a = "--",
                     "label"_a = "target 1 - alpha = " + number_text(target));
  if (!std::isnan(alarm)) {
    ax.attr("axvline")(alarm, "color"_a = "black", "linestyle"_a = ":",
                       "label"_a = "alarm at row " + number_text(alarm, "%.0f"));
  }
  double bottom = target;
  for (double c : coverage) bottom = std::min(bottom, c);
  ax.attr("set_ylim")(std::max(0.0, bottom - 0.05), 1.02);
  ax.attr("set_xlabel")("row (the last of each window)", "fontsize"_a = 12);
  ax.attr("set_ylabel")("coverage", "fontsize"_a = 12);
  ax.attr("set_title")(title, "fontsize"_a = 15);
  ax.attr("legend")("fontsize"_a = 9, "loc"_a = "lower left");
  return image(png_uri(figure), title);
}

// What an online report shows and what it tests.
std::string online_note(const py::dict& summary, double target, double confidence) {
  std::string method = summary.contains("method") ? text_of(summary["method"]) : "";
  double delta = 1 - confidence;
  return "Online calibration" + (method.empty() ? "" : " (" + escape(method) + ")") +
         ": each labelled row of the stream got its set or interval from a threshold that "
         "moved after every row before it. It promises coverage 1 &minus; alpha = " +
         number_text(target) +
         " over the long run of the stream, whatever the stream, not in each stretch of it: "
         "coverage, of the whole stream as of each segment and window, comes with a Wilson "
         "interval at " +
         number_text(confidence * 100) +
         "% as a description (the rows depend on each other through the threshold), and "
         "carries no flag. The whole stream is tested once: shortfall when it misses more "
         "rows than a stream whose every set holds its label with chance 1 &minus; alpha "
         "given the rows before it would, by an exact binomial tail (p_shortfall) below " +
         number_text(delta) +
         ". The alarm is the first row at which an exchangeability martingale over the rows' "
         "conformal p-values reaches 1/" +
         number_text(delta) + "; exchangeable rows raise one with chance at most " +
         number_text(delta * 100) + "% (Ville's inequality).";
}

// The PIT counts per bin as bars, bins beyond their band in red, the band as
// error bars about the uniform count.
std::string pit_figure(const py::object& frame) {
  std::vector<double> low = column_values(frame, "bin_low"),
                      high = column_values(frame, "bin_high");
  std::vector<double> count = column_values(frame, "count"),
                      expected = column_values(frame, "expected");
  std::vector<double> band_low = column_values(frame, "band_low"),
                      band_high = column_values(frame, "band_high");
  std::vector<std::string> outside = column_texts(frame, "outside");
  const std::size_t b = count.size();
  if (low.size() != b || high.size() != b || expected.size() != b || band_low.size() != b ||
      band_high.size() != b || outside.size() != b) {
    throw py::value_error("the columns of the table pit differ in length");
  }
  py::list centre, height, width, colour, below, above, mid;
  for (std::size_t k = 0; k < b; ++k) {
    centre.append((low[k] + high[k]) / 2);
    height.append(count[k]);
    width.append(0.9 * (high[k] - low[k]));
    colour.append(outside[k] == "True" ? "red" : "C0");
    mid.append(expected[k]);
    below.append(std::max(0.0, expected[k] - band_low[k]));
    above.append(std::max(0.0, band_high[k] - expected[k]));
  }
  const char* title = "PIT histogram";
  py::object figure = ns("Figure")("figsize"_a = py::make_tuple(6.5, 3.4));
  py::object ax = figure.attr("subplots")();
  ax.attr("bar")(centre, height, "width"_a = width, "color"_a = colour, "alpha"_a = 0.8,
                 "label"_a = "PIT values");
  ax.attr("errorbar")(centre, mid, "yerr"_a = py::make_tuple(below, above), "fmt"_a = "_",
                      "color"_a = "black", "capsize"_a = 4, "label"_a = "band (calibrated)");
  ax.attr("set_xlim")(0, 1);
  ax.attr("set_ylim")(0, py::none());
  ax.attr("set_xlabel")("PIT value Q(x, y)", "fontsize"_a = 12);
  ax.attr("set_ylabel")("test rows", "fontsize"_a = 12);
  ax.attr("set_title")(title, "fontsize"_a = 15);
  ax.attr("legend")("fontsize"_a = 9, "loc"_a = "best");
  return image(png_uri(figure), title);
}

std::string figure_for(const std::string& name, const py::object& frame, double target) {
  if (name == "pit") return pit_figure(frame);
  if (name == "by_class")
    return single_figure(frame, "class", "Coverage by class", "class", target);
  if (name == "by_group")
    return single_figure(frame, "group", "Coverage by group", "group", target);
  if (name == "by_set_size") {
    return single_figure(frame, "set_size", "Coverage by set size", "set size", target);
  }
  if (name == "by_feature") return feature_figure(frame, target);
  if (name == "by_prediction") {
    return single_figure(frame, "label", "Coverage by predicted value", "predicted value", target);
  }
  return "";
}

// The rows that carry a flag.
py::object flagged(const py::object& frame) {
  if (!py::bool_(frame.attr("columns").attr("__contains__")("flag"))) return py::none();
  py::object mask = py::object(frame["flag"]).attr("__ne__")("");
  return frame[mask];
}

// The flagged rows of every table but worst_segments, whose rows repeat by_feature's.
std::string flagged_html(const py::dict& tables, const py::list& names) {
  std::string out = "<h3>Flagged rows</h3>";
  bool any = false;
  for (py::handle key : snapshot(names)) {
    std::string name = text_of(key);
    if (name == "worst_segments") continue;
    py::object rows = flagged(tables[key]);
    if (rows.is_none() || py::len(rows) == 0) continue;
    any = true;
    out += "<h4>" + escape(name) + "</h4>" + table_html(rows);
  }
  if (!any) out += "<p>None: no test finds a row below the target or far above it.</p>";
  return out;
}

}  // namespace

std::string html_fragment(const py::object& report) {
  py::dict summary = report.attr("summary");
  py::dict tables = report.attr("tables");
  std::string kind = text_of(report.attr("kind"));
  double confidence = py::float_(report.attr("confidence"));
  double target = py::float_(summary["target"]);

  py::object tol_value =
      summary.contains("tol") ? py::object(summary["tol"]) : py::object(py::float_(0.01));
  double tol = py::float_(tol_value);
  char line[1200];
  std::snprintf(line, sizeof line,
                "Target coverage %.4g (1 &minus; alpha). Each coverage comes with its Wilson "
                "interval at %.4g%% confidence. A row is flagged under-covered when an exact "
                "one-sided binomial test rejects coverage &ge; target &minus; tol (tol = %.4f, "
                "what the calibration draw alone can take away), over-covered when one rejects "
                "coverage &le; target + 0.05, with Holm's step-down over every test of the "
                "report, so that the chance of any false flag stays below %.4g%%. Split "
                "conformal promises marginal coverage only: a class or segment can fall short "
                "with nothing broken, and this report shows where. It assumes calibration and "
                "test rows are exchangeable.",
                target, confidence * 100, tol, (1 - confidence) * 100);
  py::object weighted =
      summary.contains("weighted") ? py::object(summary["weighted"]) : py::object(py::none());
  if (!weighted.is_none() && truth(weighted)) {
    // Weighted split conformal: a threshold per row, so no law given the calibration.
    std::snprintf(line, sizeof line,
                  "Target coverage %.4g (1 &minus; alpha), guaranteed on average over draws of "
                  "the calibration and test rows when the weights are the density ratio of the "
                  "test rows to the calibration rows and P(y | x) is the same for both "
                  "(weighted split conformal). Each test row has its own threshold, so no exact "
                  "law holds for this calibration. Each coverage comes with its Wilson interval "
                  "at %.4g%% confidence, as a description. Only the whole is tested: it is "
                  "flagged under-covered when Markov's inequality on the miss rate rejects the "
                  "guaranteed coverage at %.4g%%. Classes, segments and predicted values are "
                  "promised nothing and carry no test.",
                  target, confidence * 100, (1 - confidence) * 100);
  } else if (summary.contains("coverage_bound")) {
    // Cross-conformal: no law given the fits, so the split conformal tests above do not apply.
    std::snprintf(line, sizeof line,
                  "Target coverage %.4g (1 &minus; alpha); guaranteed coverage %.4g, on average "
                  "over draws of the training and test rows, not for this fit. Each coverage "
                  "comes with its Wilson interval at %.4g%% confidence, as a description. Only "
                  "the whole is tested: it is flagged under-covered when Markov's inequality "
                  "on the miss rate rejects the guaranteed coverage at %.4g%%. Classes, "
                  "segments and predicted values are promised nothing and carry no test. It "
                  "assumes training and test rows are exchangeable.",
                  target, static_cast<double>(py::float_(summary["coverage_bound"])),
                  confidence * 100, (1 - confidence) * 100);
  }
  bool online = summary.contains("window");
  std::string note = online ? online_note(summary, target, confidence) : std::string(line);
  std::string out = std::string("<div class=\"trov-report\">") + kStyle;
  out += "<h2>Coverage report: " + escape(kind) + "</h2>";
  py::object findings = attribute_or_none(report, "findings");
  if (!findings.is_none()) {
    out += "<ul class=\"findings\">";
    for (py::handle finding : snapshot(findings))
      out += "<li>" + escape(text_of(finding)) + "</li>";
    out += "</ul>";
  }
  out += "<p class=\"note\">" + note + "</p>";
  out += "<h3>Summary</h3>" + summary_html(summary);
  out += shift_html(summary, tables, confidence);

  py::list names(tables);  // the keys first: what follows runs Python code
  // Flagged rows first: what needs attention. A stream's rows carry no flags.
  if (!online) out += flagged_html(tables, names);

  for (py::handle key : snapshot(names)) {
    std::string name = text_of(key);
    if (name == "shift features") continue;  // in the shift section
    py::object frame = tables[key];
    const TableText* text = table_text(name);
    out += "<h3>" + escape(text ? text->heading : name) + " <code>" + escape(name) + "</code></h3>";
    if (text) out += "<p class=\"note\">" + escape(text->about) + "</p>";
    if (online && name == "rolling_coverage") {
      out += rolling_figure(frame, summary, target);  // its rows are the figure's line
      continue;
    }
    out += figure_for(name, frame, target);
    out += table_html(frame);
  }
  return out + "</div>";
}

void write_text(const py::object& path, const std::string& document) {
  py::object file = ns("open")(path, "w", "encoding"_a = "utf-8");
  try {
    file.attr("write")(document);
  } catch (py::error_already_set&) {
    file.attr("close")();
    throw;
  }
  file.attr("close")();
}

std::string html_document(const py::object& report) {
  return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<title>Coverage report</title></head><body>" +
         html_fragment(report) + "</body></html>\n";
}

}  // namespace report
}  // namespace trov
