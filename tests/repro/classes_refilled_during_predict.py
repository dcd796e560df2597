# evaluate maps test_y by classes_ as a model's predict_proba refilled it in place,
# while the sets' columns stand for the classes as predict read them.
import numpy as np
from trov.diagnoser.conformal import ConformalClassifier


class Model:
    classes_ = np.array([10, 20])
    refill = False

    def predict_proba(self, x):
        if Model.refill:
            cc.classes_[:] = [20, 10]  # in place: the array predict read is this one
        return np.asarray(x, float)


p = np.tile([[0.95, 0.05]], (100, 1))
y = np.full(100, 10)
cc = ConformalClassifier(Model(), alpha=0.2).calibrate(p, y)
twin = ConformalClassifier(Model(), alpha=0.2).calibrate(p, y)
print(twin.evaluate(p, y).coverage_)
Model.refill = True
print(cc.evaluate(p, y).coverage_)
