"""Writes tour.ipynb from the cells below (kept as code so diffs stay readable)."""

from pathlib import Path

import nbformat

CELLS = [
    ("markdown", """# How reliable is a fitted model?

A tour of `trov.diagnoser.reliability_evaluation` on two datasets that ship with
scikit-learn: a two-class classifier on the breast-cancer data and a regressor on the
diabetes data. Each model is fitted first; the module only judges it."""),
    ("code", """import numpy as np
from sklearn.datasets import load_breast_cancer, load_diabetes
from sklearn.ensemble import GradientBoostingRegressor
from sklearn.linear_model import LogisticRegression
from sklearn.model_selection import train_test_split
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler

from trov.diagnoser.reliability_evaluation import Reliability, Reliability_without_uncertain

# LightGBM reports every quantile model it trains; keep only its warnings
import logging, lightgbm
logging.getLogger("lightgbm").setLevel(logging.WARNING)
lightgbm.register_logger(logging.getLogger("lightgbm"))


def three_parts(X, y):
    # half to fit the model, a quarter to calibrate, a quarter to test
    train_x, rest_x, train_y, rest_y = train_test_split(X, y, test_size=0.5, random_state=1)
    calib_x, test_x, calib_y, test_y = train_test_split(rest_x, rest_y, test_size=0.5, random_state=1)
    return train_x, train_y, test_x, test_y, calib_x, calib_y"""),
    ("markdown", """## A classifier: adaptive prediction sets

`Reliability` sees a classifier and builds a prediction set per test row: {0}, {1} or
{0, 1}. The chart counts the sets per true class; coverage is the share of rows whose
set holds the true class, bandwidth half the share of two-class sets. The model is fitted
on one part of the data and calibrated on another it has not seen.

A confident classifier scores nearly every calibration row close to 1, so the threshold `q`
lands close to 1 too and most rows need both classes to reach it: a wide set here says the
scores leave no room, not that the model is poor."""),
    ("code", """X, y = load_breast_cancer(return_X_y=True)
train_x, train_y, test_x, test_y, calib_x, calib_y = three_parts(X, y)
classifier = make_pipeline(StandardScaler(), LogisticRegression()).fit(train_x, train_y)

clf_reliability = Reliability(classifier, alpha=0.1)
clf_reliability.fit(train_x, train_y, test_x, test_y, calib_x, calib_y)
clf_reliability.diagnose()"""),
    ("code", """clf_reliability.show()"""),
    ("markdown", """One test row explained: its cumulative sorted probabilities against the threshold `q`;
the red bars form its prediction set."""),
    ("code", """clf_reliability.reliability.plot_single(0)"""),
    ("markdown", """## A regressor: conformalised residual quantiles

For a regressor, three quantile models learn the residuals, calibration widens or narrows
their band, and every test prediction becomes an interval."""),
    ("code", """data = load_diabetes()
train_x, train_y, test_x, test_y, calib_x, calib_y = three_parts(data.data, data.target)
regressor = GradientBoostingRegressor(random_state=0).fit(train_x, train_y)

reg_reliability = Reliability(regressor, alpha=0.1, depth=3, feature_names=list(data.feature_names))
reg_reliability.fit(train_x, train_y, test_x, test_y, calib_x, calib_y)
result = reg_reliability.diagnose()
{key: value[:3] for key, value in result.items()}"""),
    ("code", """reg_reliability.show()"""),
    ("markdown", """Reliability along one feature: mean bandwidth, response and prediction per segment of
equal count."""),
    ("code", """reg_reliability.reliability.plot_feature("bmi")"""),
    ("markdown", """## A check with test data only

`Reliability_without_uncertain` calibrates on a random fifth of the test rows."""),
    ("code", """np.random.seed(0)
band = Reliability_without_uncertain(regressor, significance_level=0.9)
band.fit(test_x, test_y)
band.plot()"""),
    ("code", """X, y = load_breast_cancer(return_X_y=True)
train_x, train_y, test_x, test_y, calib_x, calib_y = three_parts(X, y)
np.random.seed(0)
groups = Reliability_without_uncertain(classifier, significance_level=0.9)
groups.fit(test_x, test_y)
groups.plot()
len(groups.pred_0), len(groups.pred_1), len(groups.pred_uncertain)"""),
    ("code", """print("classifier coverage", clf_reliability.reliability.coverage,
      "bandwidth", clf_reliability.reliability.width)
print("regressor coverage", reg_reliability.reliability.coverage,
      "mean width", reg_reliability.reliability.width.mean())"""),
]


def main():
    nb = nbformat.v4.new_notebook()
    make = {"markdown": nbformat.v4.new_markdown_cell, "code": nbformat.v4.new_code_cell}
    nb.cells = [make[kind](source) for kind, source in CELLS]
    nb.metadata["kernelspec"] = {"name": "python3", "display_name": "Python 3", "language": "python"}
    nbformat.write(nb, Path(__file__).with_name("tour.ipynb"))


if __name__ == "__main__":
    main()
