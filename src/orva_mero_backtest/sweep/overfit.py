"""Is the best run of a sweep luck? Two answers from the runs' daily returns.

- Deflated Sharpe ratio (Bailey and López de Prado, "The Deflated Sharpe Ratio: Correcting for Selection
  Bias, Backtest Overfitting and Non-Normality", 2014): the probability that the best run's true Sharpe
  ratio is above the largest one expected from ``N`` trials of no skill,
  ``SR0 = sqrt(V[SR]) * ((1 - g) * Z^-1(1 - 1/N) + g * Z^-1(1 - 1/(N e)))`` (g: the Euler-Mascheroni
  constant, V[SR]: the variance of the trials' Sharpe ratios), then
  ``DSR = Z((SR - SR0) * sqrt(T - 1) / sqrt(1 - skew * SR + (kurtosis - 1) / 4 * SR^2))`` over the ``T``
  daily returns of the best run, Sharpe ratios per day (not annualised), kurtosis not in excess.
- Probability of backtest overfitting by combinatorially symmetric cross-validation (Bailey, Borwein,
  López de Prado and Zhu, "The Probability of Backtest Overfitting", 2017): the days are cut into ``S``
  blocks; for each way of taking half of the blocks as the training set, the run with the best Sharpe
  ratio there is ranked among all runs on the other half, ``w = rank / (N + 1)``, ``l = ln(w / (1 - w))``;
  PBO is the share of the splits where ``l <= 0`` (the in-sample best is at most the median out of sample).

numpy and scipy compute; the formulas are written here, as no well-kept library ships them.
"""

from __future__ import annotations

import itertools
import math
from typing import Any, Dict, List, Mapping, Optional, Sequence

EULER_GAMMA = 0.5772156649015329
MAX_BLOCKS = 16  # C(16, 8) = 12,870 splits
MIN_DAYS = 4


def _sharpe(values: Any) -> Any:
    """Per-column mean over standard deviation (ddof 1); 0 where a column does not vary."""
    import numpy as np

    std = values.std(axis=0, ddof=1)
    mean = values.mean(axis=0)
    return np.where(std > 0, mean / np.where(std > 0, std, 1.0), 0.0)


def deflated_sharpe_ratio(sharpe: float, sharpe_variance: float, trials: int, observations: int, skew: float,
                          kurtosis: float) -> float:
    """The formula of the module docstring; ``sharpe`` and ``sharpe_variance`` per period."""
    from scipy.stats import norm

    if trials > 1:
        expected_max = math.sqrt(max(sharpe_variance, 0.0)) * (
            (1 - EULER_GAMMA) * norm.ppf(1 - 1 / trials) + EULER_GAMMA * norm.ppf(1 - 1 / (trials * math.e)))
    else:
        expected_max = 0.0  # one trial: the probabilistic Sharpe ratio against 0
    spread = 1 - skew * sharpe + (kurtosis - 1) / 4 * sharpe ** 2
    if spread <= 0:
        spread = 1e-12
    return float(norm.cdf((sharpe - expected_max) * math.sqrt(observations - 1) / math.sqrt(spread)))


def probability_of_overfitting(returns: Any, blocks: int = MAX_BLOCKS) -> Dict[str, Any]:
    """PBO of a days x runs matrix of daily returns by CSCV, with at most ``blocks`` blocks (even, and
    no more than the days)."""
    import numpy as np

    values = np.asarray(returns, dtype=float)
    days, runs = values.shape
    blocks = min(blocks, days) // 2 * 2
    parts = np.array_split(np.arange(days), blocks)
    sums = np.stack([values[p].sum(axis=0) for p in parts])  # blocks x runs
    squares = np.stack([(values[p] ** 2).sum(axis=0) for p in parts])
    counts = np.array([len(p) for p in parts], dtype=float)
    splits = np.array([[i in chosen for i in range(blocks)] for chosen in
                       itertools.combinations(range(blocks), blocks // 2)], dtype=float)
    logits: List[Any] = []
    for start in range(0, len(splits), 1024):
        train = splits[start:start + 1024]
        test = 1.0 - train
        in_sample = _split_sharpe(train, sums, squares, counts)
        out_sample = _split_sharpe(test, sums, squares, counts)
        best = in_sample.argmax(axis=1)
        chosen = out_sample[np.arange(len(best)), best][:, None]
        # the rank of the chosen run out of sample, 1..N (ties count half)
        rank = (out_sample < chosen).sum(axis=1) + 0.5 * ((out_sample == chosen).sum(axis=1) - 1) + 1
        w = rank / (runs + 1)
        logits.append(np.log(w / (1 - w)))
    logit = np.concatenate(logits)
    return {"pbo": float((logit <= 0).mean()), "blocks": blocks, "splits": int(len(logit)),
            "median_logit": float(np.median(logit))}


def _split_sharpe(mask: Any, sums: Any, squares: Any, counts: Any) -> Any:
    import numpy as np

    n = mask @ counts  # days in each split
    mean = (mask @ sums) / n[:, None]
    var = ((mask @ squares) - n[:, None] * mean ** 2) / np.maximum(n[:, None] - 1, 1)
    std = np.sqrt(np.clip(var, 0, None))
    return np.where(std > 1e-15, mean / np.where(std > 1e-15, std, 1.0), 0.0)


def verdict(returns: Mapping[int, Sequence[float]], best: Optional[int]) -> Dict[str, Any]:
    """The deflated Sharpe ratio of run ``best`` given every run with returns as a trial, and the PBO
    of those runs; each figure None with the reason when the sweep cannot give it."""
    import numpy as np
    from scipy.stats import kurtosis, skew

    answer: Dict[str, Any] = {"trials": 0, "best_run": best, "deflated_sharpe": None, "pbo": None, "reason": None}
    lengths = [len(r) for r in returns.values()]
    if not lengths:
        answer["reason"] = "no run finished"
        return answer
    days = max(set(lengths), key=lengths.count)
    runs = sorted(run for run, r in returns.items() if len(r) == days)
    answer["trials"] = len(runs)
    if days < MIN_DAYS:
        answer["reason"] = f"{days} trading day(s): at least {MIN_DAYS} are needed"
        return answer
    matrix = np.array([returns[run] for run in runs], dtype=float).T  # days x runs
    sharpes = _sharpe(matrix)
    if best in runs:
        column = matrix[:, runs.index(best)]
        if column.std(ddof=1) > 0:
            variance = float(sharpes.var(ddof=1)) if len(runs) > 1 else 0.0
            answer["deflated_sharpe"] = deflated_sharpe_ratio(
                float(sharpes[runs.index(best)]), variance, len(runs), days, float(skew(column)),
                float(kurtosis(column, fisher=False)))
            answer["best_sharpe_daily"] = float(sharpes[runs.index(best)])
        else:
            answer["reason"] = "the best run's daily returns do not vary"
    if len(runs) >= 2:
        answer.update({k: v for k, v in probability_of_overfitting(matrix).items()})
    else:
        answer["reason"] = answer["reason"] or "one run: nothing to cross-validate"
    return {k: (None if isinstance(v, float) and not math.isfinite(v) else v) for k, v in answer.items()}


def describe(answer: Mapping[str, Any]) -> str:
    """One line for the console."""
    parts = [f"{answer['trials']} trials"]
    if answer.get("deflated_sharpe") is not None:
        parts.append(f"deflated Sharpe ratio of run {answer['best_run']}: {answer['deflated_sharpe']:.2f}")
    if answer.get("pbo") is not None:
        parts.append(f"probability of backtest overfitting {answer['pbo']:.2f} "
                     f"({answer['blocks']} blocks, {answer['splits']:,} splits)")
    if answer.get("reason"):
        parts.append(f"({answer['reason']})")
    luck = ((answer.get("deflated_sharpe") is not None and answer["deflated_sharpe"] < 0.95)
            or (answer.get("pbo") is not None and answer["pbo"] >= 0.5))
    tail = ": the best may well be luck" if luck else ""
    return "Overfitting: " + "; ".join(parts) + tail
