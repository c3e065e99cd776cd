# Types of the native module `_quantelle`. A stub-only package (`_quantelle-stubs`) because type
# checkers do not read a lone `.pyi` beside an extension module in site-packages.
#
# PanicException is not declared: the module has no such attribute. It derives from BaseException
# and is raised for internal faults (see README, "Errors").

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, TypeAlias, TypedDict

import numpy as np
import numpy.typing as npt

__all__ = ["parse_modifiers", "score_candidates", "mmr_select_py"]

_Real: TypeAlias = SupportsFloat | SupportsIndex
_Flag: TypeAlias = bool | np.bool_

class _Modifiers(TypedDict):
    recent: bool
    recent_days: int | None
    unlike: str | None
    diverse: bool
    limit: int | None
    like: list[str] | None
    trajectory_from: str | None
    trajectory_to: str | None
    local_communities: bool

class _Hit(TypedDict):
    id: str
    score: float

def parse_modifiers(modifier_str: str | None = None) -> _Modifiers:
    """Parse a modifier string into modulation parameters.

    Returns a dict with keys: recent, recent_days, unlike, diverse, limit,
    like, trajectory_from, trajectory_to, local_communities."""

def score_candidates(
    matrix: npt.NDArray[np.float32],
    ids: Sequence[str],
    id_to_idx: dict[str, int],
    query_vec: npt.NDArray[np.float32],
    timestamps: npt.NDArray[np.float64] | None = None,
    pre_filter_ids: Sequence[str] | None = None,
    not_like_vec: npt.NDArray[np.float32] | None = None,
    diverse: _Flag = False,
    limit: SupportsIndex = 10,
    oversample: SupportsIndex = 200,
    threshold: _Real = 0.0,
    mmr_lambda: _Real = 0.7,
    recent: _Flag = False,
    recent_days: _Real | None = None,
    like_ids: Sequence[str] | None = None,
    traj_from_vec: npt.NDArray[np.float32] | None = None,
    traj_to_vec: npt.NDArray[np.float32] | None = None,
    mask: npt.NDArray[np.bool_] | None = None,
) -> list[_Hit]:
    """Score and select candidates with composable landscape modulations.

    All text→vector conversions must be done in Python before calling.
    This function takes pure arrays and returns scored results."""

def mmr_select_py(
    candidates: Sequence[SupportsIndex],
    similarities: npt.NDArray[np.float32],
    matrix: npt.NDArray[np.float32],
    k: SupportsIndex,
    lambda_: _Real,
) -> list[tuple[int, float]]:
    """MMR: iteratively select for relevance minus redundancy.
    Returns list of (index, mmr_score) tuples."""
