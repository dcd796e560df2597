#include "diagnoser/report/comparison.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "diagnoser/common/errors.h"
#include "diagnoser/common/names.h"
#include "diagnoser/common/python_ops.h"
#include "diagnoser/report/docstrings.h"
#include "diagnoser/report/report_html.h"
#include "diagnoser/report/rows.h"
#include "diagnoser/report/snapshot.h"

namespace trov {
namespace report {
namespace {

using py::literals::operator""_a;

// The flagged rows of a report; worst_segments repeats rows of by_feature.
int64_t flag_count(const py::dict& tables) {
  int64_t flagged = 0;
  for (py::handle name : snapshot(tables)) {
    if (text_of(name) == "worst_segments") continue;
    py::object frame = tables[name];
    if (py::bool_(frame.attr("columns").attr("__contains__")("flag"))) {
      flagged +=
          py::int_(py::object(frame["flag"]).attr("__ne__")("").attr("sum")()).cast<int64_t>();
    }
  }
  return flagged;
}

struct Lowest {
  py::object what = py::none(), coverage = py::none();
};

// The row of lowest coverage of `frame`, named by `name_of(row)`.
template <typename Name>
Lowest lowest_row(const py::object& frame, Name name_of) {
  Lowest out;
  py::list coverage = py::object(frame["coverage"]).attr("tolist")();
  double least = INFINITY;
  for (std::size_t i = 0; i < py::len(coverage); ++i) {
    double c = py::float_(coverage[i]);
    if (c < least) {  // NaN (a row without test rows) never wins
      least = c;
      out.what = py::str(name_of(i));
      out.coverage = py::float_(c);
    }
  }
  return out;
}

Lowest worst_class(const py::dict& tables) {
  if (!tables.contains("by_class")) return {};
  py::object frame = tables["by_class"];
  py::list classes = py::object(frame["class"]).attr("tolist")();
  return lowest_row(frame, [&](std::size_t i) { return "class " + text_of(classes[i]); });
}

Lowest worst_segment(const py::dict& tables) {
  if (!tables.contains("by_feature")) return {};
  py::object frame = tables["by_feature"];
  py::list feature = py::object(frame["feature"]).attr("tolist")();
  py::list label = py::object(frame["label"]).attr("tolist")();
  py::list low = py::object(frame["low"]).attr("tolist")();
  py::list high = py::object(frame["high"]).attr("tolist")();
  return lowest_row(frame, [&](std::size_t i) {
    double a = py::float_(low[i]), b = py::float_(high[i]);
    bool range = !std::isnan(a) && a != b;
    return text_of(feature[i]) + (range ? " in " : " = ") + text_of(label[i]);
  });
}

py::object summary_value(const py::dict& summary, const char* key) {
  return summary.contains(key) ? py::object(summary[key]) : py::object(py::none());
}

// One column per report, one row per measure.
py::object compare_reports(const Args& a) {
  py::object reports = a["reports"];
  if (!PyDict_Check(reports.ptr())) {
    throw py::type_error(
        "compare_reports expects a dict of name to CoverageReport, such as {\"marginal\": "
        "report_a, \"per class\": report_b}, got " +
        py::str(py::type::of(reports).attr("__qualname__")).cast<std::string>());
  }
  py::dict given = py::reinterpret_borrow<py::dict>(reports);
  py::list names(given);  // the keys first: reading the reports runs Python code
  if (py::len(names) == 0) throw py::value_error("compare_reports needs at least one report");
  std::string kind, first;
  for (py::handle name : snapshot(names)) {
    py::object report = given[name];
    if (!py::isinstance(report, ns("CoverageReport"))) {
      throw py::type_error("compare_reports: " + py::repr(name).cast<std::string>() +
                           " is no CoverageReport but " +
                           py::str(py::type::of(report).attr("__qualname__")).cast<std::string>() +
                           ": pass what coverage_report returns");
    }
    std::string this_kind = text_of(report.attr("kind"));
    if (kind.empty()) {
      kind = this_kind;
      first = py::repr(name).cast<std::string>();
    } else if (this_kind != kind) {
      throw py::value_error("compare_reports: " + first + " is a " + kind + " report but " +
                            py::repr(name).cast<std::string>() + " a " + this_kind +
                            " report: compare reports of one kind");
    }
  }
  bool classes = kind == "classification";
  const char* size = classes ? "mean_set_size" : "mean_width";
  std::vector<std::string> measures{"n", "target", "coverage", "coverage_low", "coverage_high",
                                    size};
  if (classes)
    measures.insert(measures.end(), {"share_full", "worst_class", "worst_class_coverage"});
  measures.insert(measures.end(), {"worst_segment", "worst_segment_coverage", "flags"});

  // The shift rows, each where some report has it: unweighted beside weighted.
  std::vector<const char*> shifted;
  std::vector<py::object> reports_read;
  std::vector<py::dict> summaries;
  std::vector<py::dict> all_tables;
  py::tuple keys = snapshot(names);
  for (py::handle name : keys) {
    py::object report = given[name];
    reports_read.push_back(report);
    summaries.push_back(report.attr("summary"));
    all_tables.push_back(report.attr("tables"));
  }
  // Then the online rows: a stream's window, its worst window and its alarm.
  for (const char* key : {"shift_auc", "shift_pvalue", "shift_ess", "weighted", "calibration_ess",
                          "window", "worst_window_coverage", "alarm"}) {
    bool any = std::any_of(summaries.begin(), summaries.end(),
                           [key](const py::dict& summary) { return summary.contains(key); });
    if (any) {
      shifted.push_back(key);
      measures.emplace_back(key);
    }
  }

  py::dict columns;
  py::dict kept;
  for (std::size_t r = 0; r < keys.size(); ++r) {
    py::handle name = keys[r];
    const py::object& report = reports_read[r];
    py::dict summary = summaries[r];
    py::dict tables = all_tables[r];
    py::list column;
    for (const char* key : {"n", "target", "coverage", "coverage_low", "coverage_high", size}) {
      column.append(summary_value(summary, key));
    }
    if (classes) {
      column.append(summary_value(summary, "share_full"));
      Lowest c = worst_class(tables);
      column.append(c.what);
      column.append(c.coverage);
    }
    Lowest s = worst_segment(tables);
    column.append(s.what);
    column.append(s.coverage);
    column.append(py::int_(flag_count(tables)));
    for (const char* key : shifted) column.append(summary_value(summary, key));
    columns[name] = column;
    kept[name] = report;
  }
  py::object index = ns("pd").attr("Index")(to_list(measures), "name"_a = "measure");
  py::object table = ns("pd").attr("DataFrame")(columns, "index"_a = index, "dtype"_a = "object");
  return ns("ReportComparison")(kind, kept, table);
}

py::object init(const Args& a) {
  const py::object& self = a.self();
  self.attr("kind") = a["kind"];
  self.attr("reports") = a["reports"];
  self.attr("table") = a["table"];
  return py::none();
}

std::string fragment(const py::object& self) {
  std::string out = std::string("<div class=\"trov-report\">") + style();
  out += "<h2>Coverage reports side by side: " + escape(text_of(self.attr("kind"))) + "</h2>";
  out +=
      "<p class=\"note\">One column per report. Coverage with its Wilson interval "
      "(coverage_low, coverage_high), the mean set size or width, the class and the feature "
      "segment of lowest coverage, and the number of flagged rows of each report; where "
      "reports have them, the shift to new rows (shift_auc, shift_pvalue, shift_ess) and "
      "whether and how much the calibration was weighted (weighted, calibration_ess), and "
      "for online objects the rolling window, the coverage of the worst window and the row "
      "of the alarm; blank for the others.</p>";
  out += table_html(self.attr("table").attr("reset_index")());
  return out + "</div>";
}

py::object repr_html(const Args& a) { return py::str(fragment(a.self())); }

py::object to_html(const Args& a) {
  std::string document =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<title>Coverage reports side by side</title></head><body>" +
      fragment(a.self()) + "</body></html>\n";
  write_text(a["path"], document);
  return py::none();
}

py::object repr(const Args& a) {
  const py::object& self = a.self();
  return py::str("<ReportComparison {}: {}>")
      .format(self.attr("kind"), py::str(", ").attr("join")(ns("list")(self.attr("reports"))));
}

}  // namespace

py::object create_report_comparison(const ModuleContext& module) {
  return ClassBuilder(module, "ReportComparison", kComparisonDoc)
      .method("__init__", {"self", "kind", "reports", "table"}, init, kReportInitDoc)
      .method("_repr_html_", {"self"}, repr_html)
      .method("to_html", {"self", "path"}, to_html, kComparisonToHtmlDoc)
      .method("__repr__", {"self"}, repr)
      .create();
}

py::object create_compare_reports(const ModuleContext& module) {
  return make_function(module, "compare_reports", {"reports"}, py::tuple(), compare_reports,
                       kCompareReportsDoc);
}

}  // namespace report
}  // namespace trov
