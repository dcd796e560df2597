# Prints True True; the stream tuple read in reserve_draws was freed by a key's __eq__.
import numpy as np
from trov.diagnoser.conformal import ConformalClassifier

p = np.tile([[0.3, 0.7]], (50, 1))
make = lambda: ConformalClassifier(
    type("M", (), {"predict_proba": lambda s, x: x})(), score="aps_randomized", random_state=0
).calibrate(p, np.arange(50) % 2)
cc, twin = make(), make()
state = vars(cc)


class Collider:  # a key sharing the hash of threshold_, whose __eq__ replaces the stream
    replacements = 0

    def __hash__(self):
        return hash("threshold_")

    def __eq__(self, other):
        if 0 < Collider.replacements < 6:
            Collider.replacements += 1
            entropy, counter = state["_prediction_stream"]
            fresh = (entropy, counter)
            junk = [(k, k) for k in range(3000)]  # fills the tuple free list: freed is freed
            del junk
            state["_prediction_stream"] = fresh
        return False


threshold = state.pop("threshold_")
state[Collider()] = None  # ahead of threshold_ where both hash
state["threshold_"] = threshold
Collider.replacements = 1
print(*[np.array_equal(cc.predict_sets(p), twin.predict_sets(p)) for _ in range(2)])
