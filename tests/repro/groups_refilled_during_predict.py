# predict_intervals maps the rows' groups by groups_ as the model's predict refilled it
# in place, while each group's threshold was read by groups_ as it stood before.
import numpy as np
from trov.diagnoser.conformal import ConformalRegressor

rng = np.random.default_rng(0)
x = rng.normal(size=(400, 1))
g = (np.arange(400) % 2).astype(float)
y = x[:, 0] + rng.normal(size=400) * np.where(g == 1, 10.0, 0.1)


class Model:
    refill = False

    def predict(self, x):
        if Model.refill:
            cr.groups_[:] = cr.groups_[::-1].copy()
        return np.asarray(x, float)[:, 0]


make = lambda: ConformalRegressor(Model(), method="absolute", conditional="group").calibrate(
    x, y, groups=g)
cr, twin = make(), make()
expected = twin.predict_intervals(x[:2], groups=g[:2])
Model.refill = True
print(np.allclose(cr.predict_intervals(x[:2], groups=g[:2]), expected))
