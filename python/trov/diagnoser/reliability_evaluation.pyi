from copy import deepcopy as deepcopy
from typing import Any

import ipywidgets as widgets
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import seaborn as sns
from IPython.display import display as display
from lightgbm import LGBMRegressor as LGBMRegressor
from sklearn.base import is_classifier as is_classifier
from sklearn.base import is_regressor as is_regressor
from sklearn.model_selection import train_test_split as train_test_split

class Reliability:
    estimator: Any
    alpha: Any
    depth: Any
    feature_names: Any
    reliability: AdaptiveConformalClassifier | ResidualConformalRegressor
    def __init__(
        self, estimator: Any, alpha: float = 0.1, depth: int = 7, feature_names: Any = []
    ) -> None: ...
    def fit(
        self,
        train_x: Any,
        train_y: Any,
        test_x: Any,
        test_y: Any,
        calib_x: Any = None,
        calib_y: Any = None,
    ) -> None: ...
    def show(self) -> None: ...
    def diagnose(self) -> dict[str, Any]: ...

class AdaptiveConformalClassifier:
    alpha: Any
    max_test: np.floating[Any]
    test_class: list[list[int]] | np.ndarray
    test_y: np.ndarray
    test_sorted_index: np.ndarray
    test_sorted_value: np.ndarray
    q: np.floating[Any]
    classes: np.ndarray
    label_list: list[str] | np.ndarray
    coverage: float
    width: np.floating[Any]
    class_conf: dict[Any, dict[str, np.integer[Any]]]
    def __init__(self, alpha: float = 0.1) -> None: ...
    def fit(
        self,
        model: Any,
        train_x: Any,
        train_y: Any,
        test_x: Any,
        test_y: Any,
        calib_x: Any = None,
        calib_y: Any = None,
    ) -> None: ...
    def diagnose(self) -> dict[str, np.ndarray]: ...
    def plot(self, figsize: tuple[float, float] = (8, 6)) -> None: ...
    def plot_single(self, index: int, figsize: tuple[float, float] = (8, 6)) -> None: ...

class ResidualConformalRegressor:
    alpha: Any
    depth: Any
    rand: Any
    feature_names: Any
    calib_x: Any
    calib_y: np.ndarray
    test_x: Any
    test_y: np.ndarray
    pred_test: np.ndarray
    pred_calib: np.ndarray
    pred_test_residual: list[np.ndarray]
    pred_calib_residual: list[np.ndarray]
    pred_up: np.ndarray
    pred_low: np.ndarray
    calib_up: np.ndarray
    calib_low: np.ndarray
    coverage: Any
    width: np.ndarray
    def __init__(
        self, alpha: float = 0.05, depth: int = 7, rand: int = 0, feature_names: Any = []
    ) -> None: ...
    def fit(
        self,
        model: Any,
        train_x: Any,
        train_y: Any,
        test_x: Any,
        test_y: Any,
        calib_x: Any = None,
        calib_y: Any = None,
    ) -> tuple[Any, np.ndarray]: ...
    def diagnose(self) -> dict[str, Any]: ...
    def plot(self, figsize: tuple[float, float] = (8, 6)) -> None: ...
    def plot_feature(
        self, feature_name: Any, bins: int = 10, figsize: tuple[float, float] = (8, 6)
    ) -> None: ...

class Reliability_without_uncertain:
    estimator: Any
    significance_level: Any
    pred_base: Any
    pred_up: Any
    pred_low: Any
    pred_0: np.ndarray
    pred_1: np.ndarray
    pred_uncertain: np.ndarray
    def __init__(self, estimator: Any, significance_level: float = 0.95) -> None: ...
    def fit(self, test_x: Any, test_y: Any) -> None: ...
    def plot(self) -> None: ...
