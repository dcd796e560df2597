# calibrate checks classes_ against the probability columns, then calib_y's __array__
# shrinks the model's classes_ in place; the thresholds per class then number fewer
# than the columns, and the "aps" check reads one per column.
import numpy as np
from trov.diagnoser.conformal import ConformalClassifier

rng = np.random.default_rng(0)
p = rng.dirichlet(np.ones(2), 200)


class Model:
    def __init__(self):
        self.classes_ = np.array([0, 1])

    def predict_proba(self, x):
        return np.asarray(x, float)


class Labels:
    def __array__(self, dtype=None, copy=None):
        model.classes_.resize(1, refcheck=False)  # the very array calibrate checked
        return np.zeros(200, int)


model = Model()
cc = ConformalClassifier(model, score="aps", conditional="class")
try:
    cc.calibrate(p, Labels())
    print("calibrated", cc.classes_, cc.threshold_)
except ValueError as error:
    print("ValueError", error)
