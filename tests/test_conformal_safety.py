"""The conformal module against callbacks and tampered state: results a rebound name
or a user type returns are checked or not used, tampered fitted state is refused, and
a calibration running beside predictions gives the old answer or the new one."""

import sys
import threading

import numpy as np
import pytest

from test_conformal import Table
from test_native_safety import run_child
from trov.diagnoser.conformal import ConformalClassifier, ConformalRegressor


def dirichlet_rows(rng, n, classes):
    p = rng.dirichlet(np.ones(classes), n)
    return p, (p.cumsum(axis=1) < rng.random((n, 1))).sum(axis=1).clip(0, classes - 1)


# --- in a child process: each of these crashed or misread before ---

SUBCLASS_MEMBER = """
import numpy as np
import trov.diagnoser.reliability_evaluation as mod
from trov.diagnoser import report


class Sneaky(np.int64):
    calls = 0

    def __index__(self):  # empties the set that holds the only reference to it
        Sneaky.calls += 1
        clf.test_class[0].clear()
        Sneaky.junk = [2 ** 130 + k for k in range(200)]  # takes over the freed memory
        return 0


clf = mod.AdaptiveConformalClassifier(alpha=0.1)
clf.test_class = [[Sneaky(5)], [1]]
clf.test_y = np.array([0, 1])
clf.test_sorted_index = np.tile([1, 0], (2, 1))
r = report.coverage_report(clf)
print(r.summary["coverage"], Sneaky.calls, len(clf.test_class[0]))
"""


def test_a_set_member_of_a_numpy_subclass_is_no_position_and_runs_no_code():
    # Sneaky(5) is 5 by value: label 0 is not in its set, as `0 in [Sneaky(5)]` says.
    assert run_child(["-c", SUBCLASS_MEMBER]).split() == ["0.5", "0", "1"]


LYING_CLASSES = """
import numpy as np
from trov.diagnoser.conformal import ConformalClassifier

rng = np.random.default_rng(0)
p = rng.dirichlet(np.ones(3), 300)
cc = ConformalClassifier(lambda: None, conditional="class")
cc.model = type("M", (), {"predict_proba": lambda self, x: np.asarray(x, float),
                          "classes_": np.array([0, 1, 2])})()
cc.calibrate(p, rng.integers(0, 3, 300))


class Classes:  # three classes by len, two by tolist
    def __len__(self):
        return 3

    def tolist(self):
        return [0, 1]


cc.classes_ = Classes()
try:
    cc.predict_sets(np.tile(p, (2000, 1)))
    print("no error")
except ValueError as error:
    print("calibrate again" in str(error))
"""


def test_classes_whose_length_and_list_disagree_are_refused():
    assert run_child(["-c", LYING_CLASSES]).split() == ["True"]


ONE_DRAW = """
import numpy as np
from trov.diagnoser import conformal

p = np.tile([[0.3, 0.7]], (1_000_000, 1))
make = lambda: conformal.ConformalClassifier(
    type("M", (), {"predict_proba": lambda s, x: x})(), score="aps_randomized", random_state=0
).calibrate(p[:100], np.arange(100) % 2)
cc, twin = make(), make()


class OneWord:  # numpy, except that seed sequences give one word whatever is asked
    def __getattr__(self, name):
        return getattr(np, name)

    class random:
        class SeedSequence(np.random.SeedSequence):
            def generate_state(self, n, dtype=np.uint32):
                return np.zeros(1, dtype)


conformal.np = OneWord()
print(np.array_equal(cc.predict_sets(p), twin.predict_sets(p)))
"""


def test_a_rebound_seed_sequence_giving_one_word_for_a_million_rows():
    assert run_child(["-c", ONE_DRAW]).split() == ["True"]


FAR_GROUP_CODE = """
import numpy as np
from trov.diagnoser import conformal

rng = np.random.default_rng(1)
x = rng.normal(size=(400, 1))
y = x[:, 0] + rng.normal(size=400)
groups = (x[:, 0] > 0).astype(int)
model = type("M", (), {"predict": lambda self, x: np.asarray(x, float)[:, 0]})()
make = lambda: conformal.ConformalRegressor(model, method="absolute", conditional="group")
expected = make().calibrate(x, y, groups=groups).threshold_


class FarCodes:  # numpy, except that unique's inverse points far past the groups
    def __getattr__(self, name):
        return getattr(np, name)

    def unique(self, *args, **kwargs):
        values, inverse = np.unique(*args, **kwargs)
        return values, inverse + 2 ** 40


conformal.np = FarCodes()
print(make().calibrate(x, y, groups=groups).threshold_ == expected)
"""


def test_a_rebound_unique_with_codes_past_the_groups():
    assert run_child(["-c", FAR_GROUP_CODE]).split() == ["True"]


STREAM_REPLACED_BY_A_KEY = """
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
"""


def test_a_stream_replaced_while_the_draws_are_reserved():
    # Looking up threshold_ ran the colliding key's __eq__, which freed the stream
    # tuple read just before; the reservation then read it.
    assert run_child(["-c", STREAM_REPLACED_BY_A_KEY]).split() == ["True", "True"]


def test_a_stream_replaced_at_every_look_up_is_refused_not_waited_on():
    p = np.tile([[0.3, 0.7]], (50, 1))
    cc = ConformalClassifier(Table(), score="aps_randomized", random_state=0).calibrate(
        p, np.arange(50) % 2)
    state = vars(cc)

    class Collider:
        def __hash__(self):
            return hash("threshold_")

        def __eq__(self, other):
            entropy, counter = state["_prediction_stream"]
            state["_prediction_stream"] = (entropy, counter)  # a new tuple each time
            return False

    threshold = state.pop("threshold_")
    state[Collider()] = None
    state["threshold_"] = threshold
    with pytest.raises(ValueError, match="changed during each of 1000 tries"):
        cc.predict_sets(p)


NESTED_PARAMETER_REPLACED = """
from trov.diagnoser.conformal import ConformalClassifier


class Model:
    def __init__(self):
        self.params = {}

    def get_params(self, deep=True):
        return self.params  # its own dict, not a copy


class Key:
    def __str__(self):  # replaces, and frees, the value the walk is about to store
        model.params[self] = bytearray(b"new")
        return "depth"


model = Model()
model.params[Key()] = bytearray(b"old")
value = ConformalClassifier(model).get_params(deep=True)["model__depth"]
print(ConformalClassifier(value).model.decode())  # binding it reads the object
"""


def test_a_nested_parameter_replaced_while_its_name_is_read():
    assert run_child(["-c", NESTED_PARAMETER_REPLACED]).split() == ["old"]


# --- settings and tampered state ---


@pytest.mark.parametrize("alpha, least", [(1e-20, "99999999999999999999"),
                                          (5e-324, "1" + "9" * 323)])
def test_tiny_alphas_name_the_rows_they_need(alpha, least):
    cc = ConformalClassifier(Table(), alpha=alpha)
    with pytest.raises(ValueError, match=f"needs at least {least} calibration rows, got 20"):
        cc.calibrate(np.tile([[0.2, 0.8]], (20, 1)), np.zeros(20, int))


def tampered(cls, conditional, attribute, value):
    rng = np.random.default_rng(5)
    p, y = dirichlet_rows(rng, 400, 3)
    if cls is ConformalClassifier:
        obj = cls(Table(), conditional=conditional, score="aps_randomized")
        obj.calibrate(p, y, groups=y % 2)
    else:
        model = type("M", (), {"predict": lambda self, x: np.asarray(x)[:, 0]})()
        obj = cls(model, method="absolute", conditional=conditional)
        obj.calibrate(p, y.astype(float), groups=y % 2)
    setattr(obj, attribute, value(obj) if callable(value) else value)
    return obj, p, y % 2


@pytest.mark.parametrize("cls, conditional, attribute, value, what", [
    (ConformalClassifier, None, "threshold_", np.nan, "threshold_ is NaN"),
    (ConformalClassifier, None, "threshold_", "0.5", "threshold_ is '0.5', not a number"),
    (ConformalClassifier, None, "threshold_", {0: 0.5}, "threshold_ is a dict"),
    (ConformalClassifier, "class", "threshold_", lambda o: {0: 0.5, 1: 0.5},
     "no threshold for the class 2"),
    (ConformalClassifier, "class", "threshold_", lambda o: {**o.threshold_, 1: None},
     "the threshold of the class 1 is None"),
    (ConformalClassifier, "class", "classes_", np.array([0, 1]), "calibration saw 2 classes"),
    (ConformalClassifier, "class", "classes_", np.array([[0, 1, 2]]), "not one-dimensional"),
    (ConformalClassifier, "group", "threshold_", 0.5, "no dict of the groups' thresholds"),
    (ConformalRegressor, None, "threshold_", np.nan, "threshold_ is NaN"),
    (ConformalRegressor, "group", "threshold_", lambda o: {1: 0.5}, "no threshold for the group 0"),
    (ConformalRegressor, "group", "fallback_threshold_", "inf", "not a number"),
    (ConformalClassifier, None, "_prediction_stream", (1.5, 0), "_prediction_stream is not"),
    (ConformalClassifier, None, "_prediction_stream", (1, -1), "_prediction_stream is not"),
])
def test_tampered_state_asks_for_a_new_calibration(cls, conditional, attribute, value, what):
    obj, p, groups = tampered(cls, conditional, attribute, value)
    predict = obj.predict_sets if cls is ConformalClassifier else obj.predict_intervals
    with pytest.raises(ValueError, match=what) as caught:
        predict(p, groups=groups)
    if "calibration saw" not in what:
        assert "call calibrate again" in str(caught.value)


def test_settings_changed_after_calibrate_wait_for_the_next_calibration():
    rng = np.random.default_rng(6)
    p, y = dirichlet_rows(rng, 500, 3)
    cc = ConformalClassifier(Table(), score="lac").calibrate(p, y)
    before = cc.predict_sets(p)
    cc.score, cc.conditional = "aps", "class"  # a float threshold_ stays one
    np.testing.assert_array_equal(cc.predict_sets(p), before)
    cc.calibrate(p, y)
    assert isinstance(cc.threshold_, dict)


# --- a calibration beside predictions ---


@pytest.mark.filterwarnings("ignore:alpha is")  # alpha changes before each calibrate
def test_calibrate_beside_predictions_gives_the_old_or_the_new_answer():
    rng = np.random.default_rng(8)
    p, y = dirichlet_rows(rng, 3000, 4)
    plain = dict(alpha=0.1, conditional=None)
    per_class = dict(alpha=0.3, conditional="class")
    answers = [ConformalClassifier(Table(), **s).calibrate(p, y).predict_sets(p) for s in
               (plain, per_class)]
    cc = ConformalClassifier(Table(), **plain).calibrate(p, y)
    stop, errors, seen = threading.Event(), [], set()

    def recalibrate():
        for k in range(300):
            for name, value in (per_class if k % 2 == 0 else plain).items():
                setattr(cc, name, value)
            cc.calibrate(p, y)

    def predict():
        while not stop.is_set():
            try:
                sets = cc.predict_sets(p)
                seen.add(next(i for i, a in enumerate(answers) if np.array_equal(sets, a)))
            except Exception as error:  # noqa: BLE001 (a StopIteration is a mixed answer)
                errors.append(repr(error))

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        readers = [threading.Thread(target=predict) for _ in range(2)]
        for t in readers:
            t.start()
        recalibrate()
    finally:
        stop.set()
        for t in readers:
            t.join()
        sys.setswitchinterval(interval)
    assert errors == [] and seen


# --- what a step read, changed by Python code before it was used ---

RECALIBRATED_DURING_PREDICT = """
import numpy as np
from trov.diagnoser.conformal import ConformalClassifier

rng = np.random.default_rng(3)
p = rng.dirichlet(np.ones(3), 600)
y = (p.cumsum(axis=1) < rng.random((600, 1))).sum(axis=1).clip(0, 2)
first, second = (p[:200], y[:200]), (p[200:400], np.zeros(200, int))


class Model:
    classes_ = np.array([0, 1, 2])
    hook = None

    def predict_proba(self, x):
        hook, Model.hook = Model.hook, None
        if hook is not None:
            hook()
        return np.asarray(x, float)


make = lambda: ConformalClassifier(Model(), alpha=0.2, score="aps_randomized", random_state=0)
twin = make().calibrate(*first).calibrate(*second)
expected = [twin.predict_sets(p[400:]), twin.predict_sets(p[400:])]
cc = make().calibrate(*first)
Model.hook = lambda: cc.calibrate(*second)  # a calibrate between the state and the draws
got = [cc.predict_sets(p[400:]), cc.predict_sets(p[400:])]
print(*[np.array_equal(a, b) for a, b in zip(got, expected)])
"""


def test_a_calibrate_during_predict_gives_its_own_answer_and_stream():
    # The thresholds came from the state read before the model ran, the draws from the
    # stream a calibrate in the model's call had just published: old thresholds with
    # the new stream's first draws, and the next call did not repeat a fresh object's.
    assert run_child(["-c", RECALIBRATED_DURING_PREDICT]).split() == ["True", "True"]


WEAKLY_HELD = """
import sys
import threading
import warnings
import weakref
import numpy as np
from trov.diagnoser.conformal import ConformalClassifier

warnings.simplefilter("ignore")  # aps degenerates on these rows; it still sorts them
rows = 500_000


class Model:
    classes_ = np.array([0, 1])

    def predict_proba(self, x):
        out = np.column_stack([1 - x[:, 0], x[:, 0]])
        self.answer = weakref.ref(out)  # only a weak reference stays behind
        return out


p = np.linspace(0.01, 0.99, rows)[:, None]
model = Model()
make = lambda: ConformalClassifier(model, alpha=0.2).calibrate(p[:1000], np.arange(1000) % 2)
cc, expected = make(), make().predict_sets(p)
stop = threading.Event()


def rewrite():
    # While the kernel runs without the GIL: the checked answer, rewritten through the
    # weak reference (numpy refuses to resize an array that has one).
    while not stop.is_set():
        answer = model.answer() if hasattr(model, "answer") else None
        if answer is not None:
            answer[:] = [np.nan, 2.0]
        del answer


sys.setswitchinterval(1e-6)
thread = threading.Thread(target=rewrite)
thread.start()
try:
    same = all(np.array_equal(cc.predict_sets(p), expected) for _ in range(2))
finally:
    stop.set()
    thread.join()
print(same)
"""


def test_an_answer_held_weakly_elsewhere_is_copied_before_the_kernel():
    # A weak reference does not count in the reference count: the answer looked held
    # by nothing else, was read in place without the GIL, and another thread wrote
    # NaN into rows already checked (the sorts then compare NaN).
    assert run_child(["-c", WEAKLY_HELD]).split() == ["True"]


VIEWED_ANSWER_FREED = """
import sys
import numpy as np
from trov.diagnoser.conformal import ConformalRegressor

rows = 200_000
rng = np.random.default_rng(2)
x = rng.normal(size=(rows, 1))
y = x[:, 0] + rng.normal(size=rows)


class Model:
    def predict(self, x):
        self.answer = np.asarray(x, float)[:, 0] * 1.0  # owned here, viewed by a ravel
        return self.answer


class Quantile:
    # The lower quantile model frees the model's answer, or the targets, and fills the
    # freed memory with other numbers.
    frees = None

    def __init__(self, level):
        self.level = level

    def fit(self, x, y):
        return self

    def predict(self, x):
        if Quantile.frees is not None and self.level < 0.5:
            Quantile.frees().resize(1, refcheck=False)
            Quantile.junk = np.full(rows, 1e6)
        return np.full(len(x), self.level - 0.5)


def groups(x):
    if groups.frees is not None and len(x) == rows:
        groups.frees().resize(1, refcheck=False)
        Quantile.junk = np.full(rows, 1e6)
    return np.zeros(len(x), int)


def make():
    cr = ConformalRegressor(Model(), conditional="group", quantile_model=Quantile)
    return cr.fit(x[:100], y[:100])


groups.frees = None
expected = make().calibrate(x, y, groups).threshold_
cr, targets = make(), y.copy()
if sys.argv[1] == "predictions":
    Quantile.frees = lambda: cr.model.answer
else:
    groups.frees = lambda: targets
print(cr.calibrate(x, targets, groups).threshold_ == expected)
"""


@pytest.mark.parametrize("freed", ["predictions", "targets"])
def test_a_viewed_answer_freed_by_the_next_call_is_not_read(freed):
    # The predictions and the targets were views (np.ravel) of the model's answer and
    # of calib_y, held across the quantile models' predict and the groups' call; a
    # view cannot be read again when what it views is freed.
    assert run_child(["-c", VIEWED_ANSWER_FREED, freed]).split() == ["True"]


class Refilling:
    """Predicts the rows given; its predict_proba or predict may first run `hook`."""

    def __init__(self):
        self.classes_, self.hook = np.array([10, 20]), None

    def predict_proba(self, x):
        return self.predict(x)

    def predict(self, x):
        hook, self.hook = self.hook, None
        if hook is not None:
            hook()
        return np.asarray(x, float)


def test_classes_or_groups_refilled_in_place_by_the_model_keep_their_thresholds():
    # The thresholds are read by classes_ or groups_ as predict first reads them; a
    # model that refilled the instance's array in place then had the labels mapped
    # by the new order: coverage 0 where it is 1, intervals of the other group.
    p, y = np.tile([[0.95, 0.05]], (100, 1)), np.full(100, 10)
    make = lambda: ConformalClassifier(Refilling(), alpha=0.2).calibrate(p, y)
    cc = make()
    cc.model.hook = lambda: cc.classes_.__setitem__(slice(None), [20, 10])
    assert cc.evaluate(p, y).coverage_ == make().evaluate(p, y).coverage_ == 1

    rng = np.random.default_rng(9)
    x, g = rng.normal(size=(400, 1)), np.arange(400) % 2
    y = x[:, 0] + rng.normal(size=400) * np.where(g == 1, 10.0, 0.1)
    make = lambda: ConformalRegressor(Refilling(), method="absolute", conditional="group"
                                      ).calibrate(x, y, groups=g)
    cr = make()
    cr.model.hook = lambda: cr.groups_.__setitem__(slice(None), cr.groups_[::-1].copy())
    np.testing.assert_array_equal(cr.predict_intervals(x[:2], groups=g[:2]),
                                  make().predict_intervals(x[:2], groups=g[:2]))


@pytest.mark.filterwarnings("ignore:classes")  # fewer than 100 rows each
def test_classes_shrunk_in_place_by_the_labels_are_calibrated_as_checked():
    # calib_y's __array__ shrank the model's classes_, which calibrate had checked
    # against the columns and then published: one class for two columns.
    model = Refilling()

    class Labels:
        def __array__(self, dtype=None, copy=None):
            model.classes_.resize(1, refcheck=False)
            return np.where(np.arange(100) % 2, 20, 10)

    p = np.tile([[0.6, 0.4]], (100, 1))
    cc = ConformalClassifier(model, conditional="class").calibrate(p, Labels())
    np.testing.assert_array_equal(cc.classes_, [10, 20])
    assert cc.predict_sets(p).shape == (100, 2)


class Wavering:
    """A level whose __float__ answers each value in turn, then the last again."""

    def __init__(self, *values):
        self.values = list(values)

    def __float__(self):
        return self.values.pop(0) if len(self.values) > 1 else self.values[0]


def test_a_level_is_read_once_and_used_as_published():
    # The range check and the exact fraction each called __float__: the answer was
    # for the second value while the first was published as its level.
    rng = np.random.default_rng(11)
    x = rng.normal(size=(200, 1))
    y = x[:, 0] + rng.normal(size=200)
    model = type("M", (), {"predict": lambda self, x: np.asarray(x)[:, 0]})()
    cr = ConformalRegressor(model, method="absolute").calibrate(x, y)
    np.testing.assert_array_equal(cr.predict_intervals(x[:4], alpha=[Wavering(0.5, 0.01)]),
                                  cr.predict_intervals(x[:4], alpha=[0.5]))
    np.testing.assert_array_equal(cr.predict_quantiles(x[:4], [Wavering(0.5, 0.01)]),
                                  cr.predict_quantiles(x[:4], [0.5]))
    cr.evaluate(x, y, alpha=[Wavering(0.5, 0.01)])
    assert list(cr.test_alpha_) == [0.5] and cr.coverage_[0] < 0.7
    p, labels = dirichlet_rows(rng, 300, 3)
    cc = ConformalClassifier(Table(), score="lac", alpha=Wavering(0.5, 0.01)).calibrate(p, labels)
    assert cc.alpha_ == 0.5
    plain = ConformalClassifier(Table(), score="lac", alpha=0.5).calibrate(p, labels)
    assert cc.rank_ == plain.rank_
    np.testing.assert_array_equal(cc.predict_sets(p[:9], alpha=[Wavering(0.3, 0.01)]),
                                  cc.predict_sets(p[:9], alpha=[0.3]))


@pytest.mark.parametrize("ends", [(-np.inf, np.inf), (0.0, np.inf), (-np.inf, 1.0),
                                  (-1e308, 1e308)])
def test_pvalues_over_stored_scores_with_infinite_or_huge_ends(ends):
    # An infinite end made the search's bucket NaN, cast to an index far outside
    # its table: every class got p = 1 / 51 where the counts give up to 0.76.
    rng = np.random.default_rng(12)
    p, y = dirichlet_rows(rng, 50, 3)
    cc = ConformalClassifier(Table(), score="lac").calibrate(p, y)
    values, start = cc._calibration_scores
    values = np.sort(values)
    values[0], values[-1] = ends
    cc._calibration_scores = (values, start)
    got = cc.predict_pvalues(p[:20], smoothed=False)
    scores = 1 - p[:20]
    expected = ((values[None, None, :] >= scores[..., None]).sum(-1) + 1) / 51
    np.testing.assert_array_equal(got, expected)
    smoothed = cc.predict_pvalues(p[:20])
    above = (values[None, None, :] > scores[..., None]).sum(-1)
    assert np.all((smoothed > above / 51) & (smoothed <= expected))


def test_residuals_beyond_the_doubles_keep_the_distributions_usable():
    # y - prediction of two finite values overflowed to inf: calibrate stored it, and
    # every predictive call then called its own state tampered. By group, the sums
    # of every stratum ran end to end, so a finite group's CRPS became inf - inf.
    rng = np.random.default_rng(14)
    model = type("M", (), {"predict": lambda self, x: -np.asarray(x)[:, 0]})()
    x = rng.normal(size=(300, 1))
    y = -x[:, 0] + rng.normal(size=300)
    g = np.arange(300) % 2
    x[0, 0], y[0] = 1.5e308, 1.5e308  # group 0
    cr = ConformalRegressor(model, method="absolute", conditional="group").calibrate(
        x[:200], y[:200], groups=g[:200])
    assert np.isposinf(cr.predictive_scores_[-1])
    cdf = cr.predict_cdf(x[200:], y[200:], groups=g[200:])
    assert np.all((cdf > 0) & (cdf <= 1))
    q = cr.predict_quantiles(x[200:], [0.5, 0.999], groups=g[200:])
    assert np.all(np.isfinite(q[:, 0])) and np.all(np.isposinf(q[:, 1]))
    ones = g[200:] == 1
    cr.evaluate(x[200:][ones], y[200:][ones], groups=g[200:][ones])
    alone = ConformalRegressor(model, method="absolute").calibrate(x[:200][g[:200] == 1],
                                                                   y[:200][g[:200] == 1])
    alone.evaluate(x[200:][ones], y[200:][ones])
    assert np.isfinite(cr.crps_) and cr.crps_ == pytest.approx(alone.crps_, rel=1e-12)
    cr.evaluate(x[200:], y[200:], groups=g[200:])
    assert np.isposinf(cr.crps_)
