import warnings as warnings
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union, overload

import numpy as np
import pandas as pd
from lightgbm import LGBMRegressor as LGBMRegressor
from sklearn.ensemble import HistGradientBoostingClassifier as HistGradientBoostingClassifier
from sklearn.exceptions import NotFittedError as NotFittedError
from typing_extensions import Literal

_Groups = Union[Any, Callable[[Any], Any], None]
_Output = Optional[Literal["pandas", "default"]]
_Shift = Optional[Callable[[Any], Any]]
_Levels = Union[float, Sequence[float], np.ndarray, None]

class ConformalClassifier:
    model: Any
    alpha: float
    score: Literal["aps", "aps_randomized", "raps", "lac"]
    conditional: Optional[Literal["class", "group"]]
    fallback: Literal["full", "marginal"]
    random_state: Optional[int]
    lam: float
    k_reg: int
    randomized: bool
    classes_: np.ndarray
    groups_: np.ndarray
    n_calibration_: int
    threshold_ties_: int
    alpha_: float
    rank_: int
    stratum_counts_: Dict[Any, int]
    stratum_ranks_: Dict[Any, Optional[int]]
    threshold_: Union[float, Dict[Any, float]]
    fallback_threshold_: float
    fallback_groups_: List[Any]
    test_x_: Any
    test_y_: np.ndarray
    test_groups_: Optional[np.ndarray]
    test_weights_: Optional[np.ndarray]
    shift_: Optional[Callable[[Any], Any]]
    calibration_weights_: np.ndarray
    ess_: float
    calibration_scores_: Union[np.ndarray, Dict[Any, np.ndarray]]
    sets_: np.ndarray
    fallback_rows_: np.ndarray
    coverage_: Union[float, np.ndarray]
    mean_set_size_: Union[float, np.ndarray]
    test_alpha_: Union[float, np.ndarray]
    def __init__(
        self,
        model: Any,
        alpha: float = 0.1,
        score: Literal["aps", "aps_randomized", "raps", "lac"] = "lac",
        conditional: Optional[Literal["class", "group"]] = None,
        fallback: Literal["full", "marginal"] = "full",
        random_state: Optional[int] = None,
        lam: float = 0.01,
        k_reg: int = 1,
        randomized: bool = True,
    ) -> None: ...
    def calibrate(
        self, calib_x: Any, calib_y: Any, groups: _Groups = None, shift: _Shift = None
    ) -> ConformalClassifier: ...
    @overload
    def predict_sets(
        self,
        new_x: Any,
        groups: _Groups = None,
        return_fallback: Literal[False] = False,
        partition: Optional[int] = None,
        alpha: _Levels = None,
    ) -> Union[np.ndarray, pd.DataFrame]: ...
    @overload
    def predict_sets(
        self,
        new_x: Any,
        groups: _Groups = None,
        *,
        return_fallback: Literal[True],
        partition: Optional[int] = None,
        alpha: _Levels = None,
    ) -> Tuple[Union[np.ndarray, pd.DataFrame], Union[np.ndarray, pd.Series, pd.DataFrame]]: ...
    def predict_pvalues(
        self,
        new_x: Any,
        smoothed: bool = True,
        groups: _Groups = None,
        partition: Optional[int] = None,
    ) -> Union[np.ndarray, pd.DataFrame]: ...
    def evaluate(
        self, test_x: Any, test_y: Any, groups: _Groups = None, alpha: _Levels = None
    ) -> ConformalClassifier: ...
    def get_params(self, deep: bool = True) -> Dict[str, Any]: ...
    def set_params(self, **params: Any) -> ConformalClassifier: ...
    def set_output(self, transform: _Output = None) -> ConformalClassifier: ...

class ConformalRegressor:
    model: Any
    alpha: float
    method: Literal["cqr", "absolute", "normalized"]
    conditional: Optional[Literal["group"]]
    fallback: Literal["full", "marginal"]
    depth: int
    quantile_model: Optional[Callable[[float], Any]]
    random_state: Optional[int]
    difficulty: Any
    beta: Optional[float]
    quantile_models_: Tuple[Any, Any]
    difficulty_model_: Any
    residual_scale_: float
    beta_: float
    predictive_scores_: np.ndarray
    predictive_group_scores_: Dict[Any, np.ndarray]
    pit_: np.ndarray
    crps_: float
    groups_: np.ndarray
    n_calibration_: int
    threshold_ties_: int
    alpha_: float
    rank_: int
    stratum_counts_: Dict[Any, int]
    stratum_ranks_: Dict[Any, Optional[int]]
    threshold_: Union[float, Dict[Any, float]]
    fallback_threshold_: float
    fallback_groups_: List[Any]
    test_x_: Any
    test_y_: np.ndarray
    test_groups_: Optional[np.ndarray]
    test_weights_: Optional[np.ndarray]
    shift_: Optional[Callable[[Any], Any]]
    calibration_weights_: np.ndarray
    ess_: float
    test_pred_: np.ndarray
    intervals_: np.ndarray
    fallback_rows_: np.ndarray
    empty_rows_: np.ndarray
    calibration_scores_: Union[np.ndarray, Dict[Any, np.ndarray]]
    coverage_: Union[float, np.ndarray]
    mean_width_: Union[float, np.ndarray]
    test_alpha_: Union[float, np.ndarray]
    def __init__(
        self,
        model: Any,
        alpha: float = 0.1,
        method: Literal["cqr", "absolute", "normalized"] = "cqr",
        conditional: Optional[Literal["group"]] = None,
        fallback: Literal["full", "marginal"] = "full",
        depth: int = 7,
        quantile_model: Optional[Callable[[float], Any]] = None,
        random_state: Optional[int] = None,
        difficulty: Any = None,
        beta: Optional[float] = None,
    ) -> None: ...
    def fit(self, train_x: Any, train_y: Any) -> ConformalRegressor: ...
    def calibrate(
        self, calib_x: Any, calib_y: Any, groups: _Groups = None, shift: _Shift = None
    ) -> ConformalRegressor: ...
    @overload
    def predict_intervals(
        self,
        new_x: Any,
        groups: _Groups = None,
        return_fallback: Literal[False] = False,
        alpha: _Levels = None,
    ) -> Union[np.ndarray, pd.DataFrame]: ...
    @overload
    def predict_intervals(
        self,
        new_x: Any,
        groups: _Groups = None,
        *,
        return_fallback: Literal[True],
        alpha: _Levels = None,
    ) -> Tuple[Union[np.ndarray, pd.DataFrame], Union[np.ndarray, pd.Series, pd.DataFrame]]: ...
    def predict_cdf(self, new_x: Any, y: Any, groups: _Groups = None) -> np.ndarray: ...
    def predict_quantiles(
        self, new_x: Any, levels: Union[float, Sequence[float]], groups: _Groups = None
    ) -> np.ndarray: ...
    def evaluate(
        self, test_x: Any, test_y: Any, groups: _Groups = None, alpha: _Levels = None
    ) -> ConformalRegressor: ...
    def get_params(self, deep: bool = True) -> Dict[str, Any]: ...
    def set_params(self, **params: Any) -> ConformalRegressor: ...
    def set_output(self, transform: _Output = None) -> ConformalRegressor: ...

class CrossConformalRegressor:
    estimator: Any
    alpha: float
    method: Literal["plus", "minmax", "after_bootstrap"]
    cv: Any
    n_bootstraps: int
    aggregate: Literal["mean", "median"]
    n_jobs: Optional[int]
    random_state: Any
    bootstrap: bool
    max_samples: Union[int, float, None]
    estimators_: List[Any]
    residuals_: Union[List[np.ndarray], np.ndarray]
    folds_: np.ndarray
    out_of_bag_: np.ndarray
    n_samples_: int
    n_calibration_: int
    n_estimators_: int
    alpha_: float
    rank_: int
    method_: str
    aggregate_: str
    coverage_bound_: float
    guarantee_: str
    test_x_: Any
    test_y_: np.ndarray
    test_groups_: None
    test_pred_: np.ndarray
    intervals_: np.ndarray
    fallback_rows_: np.ndarray
    empty_rows_: np.ndarray
    coverage_: float
    mean_width_: float
    def __init__(
        self,
        estimator: Any,
        alpha: float = 0.1,
        method: Literal["plus", "minmax", "after_bootstrap"] = "plus",
        cv: Any = 5,
        n_bootstraps: int = 30,
        aggregate: Literal["mean", "median"] = "mean",
        n_jobs: Optional[int] = None,
        random_state: Any = None,
        bootstrap: bool = True,
        max_samples: Union[int, float, None] = None,
    ) -> None: ...
    def fit(self, x: Any, y: Any, groups: Any = None, **fit_params: Any) -> CrossConformalRegressor: ...
    def predict_intervals(self, new_x: Any) -> Union[np.ndarray, pd.DataFrame]: ...
    def evaluate(self, test_x: Any, test_y: Any) -> CrossConformalRegressor: ...
    def get_params(self, deep: bool = True) -> Dict[str, Any]: ...
    def set_params(self, **params: Any) -> CrossConformalRegressor: ...
    def set_output(self, transform: _Output = None) -> CrossConformalRegressor: ...

class CrossConformalClassifier:
    estimator: Any
    alpha: float
    score: Literal["aps", "aps_randomized", "raps", "lac"]
    cv: Any
    n_jobs: Optional[int]
    random_state: Optional[int]
    lam: float
    k_reg: int
    randomized: bool
    classes_: np.ndarray
    estimators_: List[Any]
    scores_: List[np.ndarray]
    folds_: np.ndarray
    n_samples_: int
    n_calibration_: int
    n_estimators_: int
    alpha_: float
    rank_: int
    method_: str
    coverage_bound_: float
    guarantee_: str
    test_x_: Any
    test_y_: np.ndarray
    test_groups_: None
    sets_: np.ndarray
    fallback_rows_: np.ndarray
    coverage_: float
    mean_set_size_: float
    def __init__(
        self,
        estimator: Any,
        alpha: float = 0.1,
        score: Literal["aps", "aps_randomized", "raps", "lac"] = "lac",
        cv: Any = 5,
        n_jobs: Optional[int] = None,
        random_state: Optional[int] = None,
        lam: float = 0.01,
        k_reg: int = 1,
        randomized: bool = True,
    ) -> None: ...
    def fit(self, x: Any, y: Any, groups: Any = None, **fit_params: Any) -> CrossConformalClassifier: ...
    def predict_sets(self, new_x: Any) -> Union[np.ndarray, pd.DataFrame]: ...
    def evaluate(self, test_x: Any, test_y: Any) -> CrossConformalClassifier: ...
    def get_params(self, deep: bool = True) -> Dict[str, Any]: ...
    def set_params(self, **params: Any) -> CrossConformalClassifier: ...
    def set_output(self, transform: _Output = None) -> CrossConformalClassifier: ...

class DensityRatio:
    classifier: Any
    cv: int
    clip: float
    n_jobs: Optional[int]
    random_state: Any
    estimators_: List[Any]
    folds_: np.ndarray
    oof_proba_: np.ndarray
    auc_: float
    fold_pvalues_: np.ndarray
    pvalue_: float
    n_source_: int
    n_new_: int
    ess_: float
    n_features_in_: int
    feature_names_in_: np.ndarray
    def __init__(
        self,
        classifier: Any = None,
        cv: int = 5,
        clip: float = 0.01,
        n_jobs: Optional[int] = None,
        random_state: Any = None,
    ) -> None: ...
    def fit(self, source_x: Any, new_x: Any) -> DensityRatio: ...
    def __call__(self, x: Any) -> np.ndarray: ...
    def feature_importances(self, n_repeats: int = 5, random_state: Any = None) -> pd.Series: ...
    def get_params(self, deep: bool = True) -> Dict[str, Any]: ...
    def set_params(self, **params: Any) -> DensityRatio: ...

class _OnlineConformal:
    model: Any
    alpha: float
    method: str
    score: str
    lr: Optional[float]
    integrator: bool
    window: Optional[int]
    scorecaster: Any
    lags: int
    gain: Optional[float]
    saturation: float
    random_state: Any
    alpha_: float
    n_calibration_: int
    n_steps_: int
    scores_: np.ndarray
    thresholds_: np.ndarray
    errors_: np.ndarray
    pvalues_: np.ndarray
    alphas_: Optional[np.ndarray]
    alpha_t_: Optional[float]
    quantile_: Optional[float]
    coverage_: float
    scorecaster_: Any
    y_: np.ndarray
    def rolling_coverage(self, window: int) -> np.ndarray: ...
    def window_coverage(self, window: int) -> float: ...
    def get_params(self, deep: bool = True) -> Dict[str, Any]: ...
    def set_output(self, transform: Optional[str] = None) -> Any: ...

class OnlineConformalRegressor(_OnlineConformal):
    intervals_: np.ndarray
    predictions_: np.ndarray
    def __init__(
        self,
        model: Any,
        alpha: float = 0.1,
        method: str = "pid",
        score: str = "absolute",
        lr: Optional[float] = None,
        integrator: bool = True,
        window: Optional[int] = None,
        scorecaster: Any = None,
        lags: int = 5,
        gain: Optional[float] = None,
        saturation: float = 1.0,
        random_state: Any = None,
    ) -> None: ...
    def calibrate(self, calib_x: Any, calib_y: Any) -> OnlineConformalRegressor: ...
    def predict_interval(self, x: Any) -> Tuple[float, float]: ...
    def update(self, x: Any, y: Any) -> OnlineConformalRegressor: ...
    def replay(self, x: Any, y: Any) -> np.ndarray: ...
    def set_params(self, **params: Any) -> OnlineConformalRegressor: ...

class OnlineConformalClassifier(_OnlineConformal):
    sets_: np.ndarray
    classes_: np.ndarray
    def __init__(
        self,
        model: Any,
        alpha: float = 0.1,
        method: str = "aci",
        score: str = "lac",
        lr: Optional[float] = None,
        integrator: bool = True,
        window: Optional[int] = None,
        scorecaster: Any = None,
        lags: int = 5,
        gain: Optional[float] = None,
        saturation: float = 1.0,
        random_state: Any = None,
    ) -> None: ...
    def calibrate(self, calib_x: Any, calib_y: Any) -> OnlineConformalClassifier: ...
    def predict_set(self, x: Any) -> np.ndarray: ...
    def update(self, x: Any, y: Any) -> OnlineConformalClassifier: ...
    def replay(self, x: Any, y: Any) -> np.ndarray: ...
    def set_params(self, **params: Any) -> OnlineConformalClassifier: ...

class ExchangeabilityMartingale:
    betting: str
    bandwidth: float
    n_: int
    pvalues_: np.ndarray
    log_martingale_: np.ndarray
    def __init__(self, betting: str = "mixture", bandwidth: float = 0.1) -> None: ...
    def update(self, source: Any) -> ExchangeabilityMartingale: ...
    def alarm(self, delta: float = 0.01) -> Optional[int]: ...
    def get_params(self, deep: bool = True) -> Dict[str, Any]: ...
    def set_params(self, **params: Any) -> ExchangeabilityMartingale: ...
