"""Online conformal intervals and sets, and the exchangeability martingale: long-run
coverage on drifting streams and adversarial sequences, the same state however rows
are fed, and an alarm that is rarely wrong under exchangeability but fires soon after
a change."""
import math
import pickle

import numpy as np
import pytest
from scipy import stats
from sklearn.linear_model import LinearRegression, LogisticRegression, Ridge

from trov.diagnoser.conformal import (
    ConformalRegressor,
    ExchangeabilityMartingale,
    OnlineConformalClassifier,
    OnlineConformalRegressor,
)


def drifting(kind, steps, rng):
    t = np.arange(steps)
    sd = {
        "change": np.where(t < steps // 2, 1.0, 3.0),
        "trend": 1 + 2 * t / steps,
        "season": 1 + 0.8 * np.sin(2 * np.pi * t / 2000),
    }[kind]
    x = rng.normal(size=(steps, 1))
    return x, x[:, 0] + sd * rng.normal(size=steps)


@pytest.fixture(scope="module")
def fitted():
    rng = np.random.default_rng(0)
    x = rng.normal(size=(500, 1))
    y = x[:, 0] + rng.normal(size=500)
    return LinearRegression().fit(x, y), x, y


# Empirical figures at 20,000 steps (the README quotes them): the worst 500-row
# window of each method, at or below its lowest over forty seeds.
WORST_WINDOW = {"aci": {"change": 0.84, "trend": 0.87, "season": 0.72},
                "pid": {"change": 0.86, "trend": 0.88, "season": 0.87}}


@pytest.mark.parametrize("kind", ["change", "trend", "season"])
def test_drift_keeps_long_run_coverage_where_split_conformal_loses_it(fitted, kind):
    model, xc, yc = fitted
    x, y = drifting(kind, 20000, np.random.default_rng(1))
    split = ConformalRegressor(model, method="absolute").calibrate(xc, yc)
    covered = np.abs(y - model.predict(x)) <= split.threshold_
    assert np.convolve(covered, np.ones(500) / 500, "valid").min() < 0.7
    for method in ("aci", "pid"):
        oc = OnlineConformalRegressor(model, method=method, random_state=0).calibrate(xc, yc)
        bounds = oc.replay(x, y)
        assert abs(oc.coverage_ - 0.9) <= 0.01, method
        assert oc.window_coverage(500) >= WORST_WINDOW[method][kind], method
        inside = (bounds[:, 0] <= y) & (y <= bounds[:, 1])
        np.testing.assert_array_equal(inside, ~oc.errors_)


def adversary(oc, steps, big):
    """Each y chosen after seeing its interval: outside it whenever it is bounded."""
    x = np.zeros((1, 1))
    for _ in range(steps):
        low, high = oc.predict_interval(x[0])
        y = high + 1 if np.isfinite(high) else 0.0
        oc.update(x, [min(y, big)])
    return np.mean(oc.errors_)


def test_bounds_hold_against_an_adversary():
    model = LinearRegression().fit([[0.0], [1.0]], [0.0, 0.0])
    alpha, steps = 0.1, 400
    aci = OnlineConformalRegressor(model, method="aci", lr=0.05).calibrate([[0.0]] * 20, [0.5] * 20)
    bound = (max(alpha, 1 - alpha) + 0.05) / (0.05 * steps)
    assert abs(adversary(aci, steps, 1e6) - alpha) <= bound
    # Quantile tracking alone, scores in [0, B]: the adversary's y is capped at B.
    tracking = OnlineConformalRegressor(model, lr=0.5, integrator=False)
    assert abs(adversary(tracking, steps, 5.0) - alpha) <= (5.0 + 0.5) / (0.5 * steps)
    pid = OnlineConformalRegressor(model, lr=0.01, saturation=0.2)
    bound = math.pi / 2 * 0.2 / math.log(steps) + 1 / steps
    assert abs(adversary(pid, steps, 1e6) - alpha) <= bound
    # A model exact on its calibration rows: scores all 0 give no scale to step by, and
    # the default step and gain must not be 0.
    exact = OnlineConformalRegressor(model, saturation=0.2).calibrate([[0.0]] * 20, [0.0] * 20)
    assert abs(adversary(exact, steps, 1e6) - alpha) <= bound


def test_rows_fed_any_way_give_the_same_stream(fitted):
    model, xc, yc = fitted
    x, y = drifting("change", 400, np.random.default_rng(2))
    for params in ({"method": "aci", "window": 50}, {"method": "pid"},
                   {"method": "pid", "scorecaster": Ridge(), "lags": 3, "window": 100}):
        whole = OnlineConformalRegressor(model, random_state=3, **params).calibrate(xc, yc)
        bounds = whole.replay(x, y)
        pieces = OnlineConformalRegressor(model, random_state=3, **params).calibrate(xc, yc)
        for i in range(0, 100):
            pieces.update(x[i:i + 1], y[i:i + 1])
        pieces = pickle.loads(pickle.dumps(pieces))
        pieces.update(x[100:250], y[100:250])
        assert pieces.predict_interval(x[250]) == tuple(pieces.replay(x[250:251], y[250:251])[0])
        pieces.replay(x[251:], y[251:])
        # A scorecaster forecasts rows in the batches they arrive in, and a model's batch
        # predictions may differ from its single ones in the last bit.
        same = np.testing.assert_array_equal
        if "scorecaster" in params:
            same = lambda a, b, name="": np.testing.assert_allclose(a, b, rtol=1e-12, err_msg=name)
        for name in ("thresholds_", "pvalues_", "intervals_"):
            same(getattr(pieces, name), getattr(whole, name), name)
        same(pieces.intervals_, bounds)
    assert whole.scorecaster_ is not None


def test_pvalues_are_uniform_and_sets_follow_thresholds():
    rng = np.random.default_rng(4)
    x = rng.normal(size=(6000, 2))
    y = (x[:, 0] + rng.normal(size=6000) > 0).astype(int)
    model = LogisticRegression().fit(x[:1000], y[:1000])
    occ = OnlineConformalClassifier(model, random_state=5).calibrate(x[1000:1500], y[1000:1500])
    sets = occ.replay(x[1500:], y[1500:])
    # Exchangeable rows: the smoothed online p-values are i.i.d. uniform (Vovk et al., 2003),
    # ties between the scores of one class broken by U.
    assert stats.kstest(occ.pvalues_, "uniform").pvalue > 0.01
    assert abs(occ.coverage_ - 0.9) < 0.02
    np.testing.assert_array_equal(sets[np.arange(len(sets)), y[1500:]], ~occ.errors_)
    np.testing.assert_array_equal(occ.predict_set(x[0]), occ.replay(x[:1], y[:1])[0])
    with pytest.raises(ValueError, match="not among the stream's classes"):
        occ.update(x[:1], [7])


def martingale_of(betting, sd_after, change, steps, seed, model):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(steps, 1))
    sd = np.where(np.arange(steps) < change, 1.0, sd_after)
    oc = OnlineConformalRegressor(model, method="aci", random_state=seed)
    oc.replay(x, x[:, 0] + sd * rng.normal(size=steps))
    return ExchangeabilityMartingale(betting=betting).update(oc)


def test_martingale_alarms_rarely_without_change_and_soon_after_one(fitted):
    model = fitted[0]
    for betting in ("mixture", "plugin"):
        # Ville's inequality: at most delta, sampled over 150 streams (2 SE of slack).
        alarms = [martingale_of(betting, 1.0, 0, 2000, s, model).alarm(0.05) for s in range(150)]
        assert np.mean([a is not None for a in alarms]) <= 0.05 + 2 * math.sqrt(0.05 * 0.95 / 150)
    delay = {}
    for change, size in ((1000, 3.0), (3000, 3.0), (1000, 2.0)):
        found = [martingale_of("mixture", size, change, change + 2000, s, model).alarm(0.01)
                 for s in range(5)]
        # One of them may be a false alarm before the change (each has chance <= 0.01).
        after = [a for a in found if a is not None and a >= change]
        assert len(after) >= 4
        delay[change, size] = np.median(after) - change
    assert delay[1000, 3.0] < 300
    assert delay[3000, 3.0] > delay[1000, 3.0] and delay[1000, 2.0] > delay[1000, 3.0]
    # A fall in noise makes p-values large: the mixture never bets on them.
    assert martingale_of("mixture", 0.3, 1000, 3000, 0, model).alarm(0.01) is None


def test_martingale_in_pieces_and_bad_input():
    p = np.random.default_rng(6).uniform(size=500)
    whole = ExchangeabilityMartingale(betting="plugin").update(p)
    pieces = ExchangeabilityMartingale(betting="plugin").update(p[:123])
    pieces = pickle.loads(pickle.dumps(pieces)).update(p[123:])
    np.testing.assert_array_equal(whole.log_martingale_, pieces.log_martingale_)
    with pytest.raises(ValueError, match=r"lie in \(0, 1\]"):
        ExchangeabilityMartingale().update([0.5, 0.0])
    with pytest.raises(ValueError, match="betting"):
        ExchangeabilityMartingale(betting="kelly").update(p)


def test_settings_are_checked(fitted):
    model, xc, yc = fitted
    cases = [({"method": "aci", "scorecaster": Ridge()}, "scorecaster"),
             ({"method": "pid", "window": 10}, "window"),
             ({"lr": -1}, "lr"), ({"score": "lac"}, "score"), ({"lags": 0}, "lags"),
             ({"gain": 0}, "gain")]
    for params, message in cases:
        with pytest.raises((ValueError, TypeError), match=message):
            OnlineConformalRegressor(model, **params).calibrate(xc, yc)
    oc = OnlineConformalRegressor(model).calibrate(xc, yc)
    with pytest.raises(ValueError, match="pass one row"):
        oc.predict_interval(xc[:2])
    with pytest.raises(ValueError, match="no labelled rows"):
        oc.window_coverage(10)
    # A sorted copy that no longer holds the stream's scores is refused, not read.
    oc.update(xc[:3], yc[:3])
    tampered = oc._sorted_scores.copy()
    tampered[5] = np.nextafter(tampered[5], tampered[6])
    oc._sorted_scores = tampered
    with pytest.raises(ValueError, match="not the stream's scores sorted"):
        oc.update(xc[:1], yc[:1])
    # Without a warm start aci gives everything until it has enough scores.
    fresh = OnlineConformalRegressor(model, method="aci")
    assert fresh.predict_interval(xc[0]) == (-np.inf, np.inf)
