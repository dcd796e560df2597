# get_params(deep=True) walks the model's own get_params dict with borrowed items
# while a key's __str__ replaces the value it is about to store.
import numpy as np
from trov.diagnoser.conformal import ConformalClassifier



class Model:
    def __init__(self):
        self.params = {}

    def get_params(self, deep=True):
        return self.params  # the model's own dict, not a copy

    def predict_proba(self, x):
        return np.asarray(x, float)


class Key:
    def __str__(self):
        model.params[self] = bytearray(64)  # frees the value the iteration holds borrowed
        return "depth"


model = Model()
model.params[Key()] = bytearray(64)
cc = ConformalClassifier(model)
freed = cc.get_params(deep=True)["model__depth"]
ConformalClassifier(freed)  # binding the argument increfs it in instrumented code
print("no error")
