# fit walks its list of quantile levels in place while each level's model, looked up
# late in the module's namespace, runs: one that finds the list and grows it moves
# the item array the walk points into.
import gc
import numpy as np
import trov.diagnoser.reliability_evaluation as mod


class Fitted:
    def fit(self, x, y):
        return self

    def predict(self, x):
        return np.zeros(len(x))


class Grower(Fitted):
    def __init__(self, alpha=None, **params):
        for o in gc.get_objects():
            if type(o) is list and len(o) == 3 and o[1] == 0.5 and o[0] == 0.025:
                o.extend([0.5] * 1000)  # reallocates the item array


mod.LGBMRegressor = Grower
rng = np.random.default_rng(0)
x = rng.normal(size=(60, 2))
y = x[:, 0] + rng.normal(size=60)
r = mod.ResidualConformalRegressor(alpha=0.05)
r.fit(Fitted(), x[:20], y[:20], x[20:40], y[20:40], x[40:], y[40:])
print("no error")
