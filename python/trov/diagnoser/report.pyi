from typing import Any

from typing_extensions import Literal

import base64 as base64
import io as io
import numpy as np
import pandas as pd

from .conformal import (
    ConformalClassifier,
    ConformalRegressor,
    CrossConformalClassifier,
    CrossConformalRegressor,
    OnlineConformalClassifier,
    OnlineConformalRegressor,
)
from .reliability_evaluation import (
    AdaptiveConformalClassifier,
    Reliability,
    ResidualConformalRegressor,
)

class CoverageReport:
    kind: Literal["classification", "regression"]
    confidence: float
    summary: dict[str, Any]
    tables: dict[str, pd.DataFrame]
    findings: list[str]
    def __init__(
        self,
        kind: Literal["classification", "regression"],
        confidence: float,
        summary: dict[str, Any],
        tables: dict[str, pd.DataFrame],
        findings: list[str] | None = None,
    ) -> None: ...
    def to_dict(self) -> dict[str, Any]: ...
    def _repr_html_(self) -> str: ...
    def to_html(self, path: Any) -> None: ...

class ReportComparison:
    kind: Literal["classification", "regression"]
    reports: dict[str, CoverageReport]
    table: pd.DataFrame
    def __init__(
        self,
        kind: Literal["classification", "regression"],
        reports: dict[str, CoverageReport],
        table: pd.DataFrame,
    ) -> None: ...
    def _repr_html_(self) -> str: ...
    def to_html(self, path: Any) -> None: ...

def compare_reports(reports: dict[str, CoverageReport]) -> ReportComparison: ...
def coverage_report(
    fitted: AdaptiveConformalClassifier
    | ResidualConformalRegressor
    | Reliability
    | ConformalClassifier
    | ConformalRegressor
    | CrossConformalClassifier
    | CrossConformalRegressor
    | OnlineConformalClassifier
    | OnlineConformalRegressor,
    confidence: float = 0.95,
    bins: int = 10,
    test_x: Any = None,
    new_x: Any = None,
    shift: Any = None,
) -> CoverageReport: ...
