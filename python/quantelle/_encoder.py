"""The passes of one encoder layer of all-MiniLM-L6-v2 over a batch of tokens, in NumPy.

BLAS does the products; the element-wise passes (softmax, GELU) go over a slice of the batch at
a time, so that their temporaries stay in cache. Nothing here holds state between calls, so
batches may run in several threads at once.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

__all__ = ["DIM", "HEADS", "HEAD_DIM", "Layer", "attention", "gelu", "layer_norm"]

DIM = 384
HEADS = 12
HEAD_DIM = DIM // HEADS
_EPS = np.float32(1e-12)
_CHUNK = 1 << 18  # floats an element-wise pass takes at a time: its temporaries fit in cache


class Layer:
    """One encoder layer's weights, laid out as the products want them: (in, out), C order."""

    def __init__(self, w: dict[str, npt.NDArray[np.float32]], prefix: str) -> None:
        def linear(name: str) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32]]:
            return w[f"{prefix}{name}.weight"].T, w[f"{prefix}{name}.bias"]

        (wq, bq), (wk, bk), (wv, bv) = (linear(f"attention.self.{n}") for n in ("query", "key", "value"))
        # One product gives queries, keys and values; the queries come out already scaled by
        # 1/sqrt(head width), which saves a pass over every attention score.
        scale = np.float32(HEAD_DIM**-0.5)
        self.w_qkv = np.ascontiguousarray(np.concatenate([wq * scale, wk, wv], axis=1))
        self.b_qkv = np.concatenate([bq * scale, bk, bv])
        w_o, self.b_o = linear("attention.output.dense")
        w_in, self.b_in = linear("intermediate.dense")
        w_out, self.b_out = linear("output.dense")
        self.w_o, self.w_in, self.w_out = (np.ascontiguousarray(m) for m in (w_o, w_in, w_out))
        self.ln1 = (w[f"{prefix}attention.output.LayerNorm.weight"],
                    w[f"{prefix}attention.output.LayerNorm.bias"])
        self.ln2 = (w[f"{prefix}output.LayerNorm.weight"], w[f"{prefix}output.LayerNorm.bias"])


# erf(t) = t P(t^2) / Q(t^2) on [-4, 4], within 5e-7 of the true value; outside, erf is 1 to
# float32 precision. NumPy has no erf, and the model was trained with the exact GELU. Written
# here in x = t sqrt 2 and halved, GELU(x) = x (1/2 + x P'(x^2) / Q'(x^2)) for |x| <= 4 sqrt 2:
# two passes fewer over the 1536-wide activations than dividing x and adding 1 would take.
_ERF_P = (-2.72614225801306e-10, 2.77068142495902e-08, -2.10102402082508e-06, -5.69250639462346e-05,
          -7.34990630326855e-04, -2.95459980854025e-03, -1.60960333262415e-02)
_ERF_Q = (-1.45660718464996e-05, -2.13374055278905e-04, -1.68282697438203e-03, -7.37332916720468e-03,
          -1.42647390514189e-02)
_GELU_P = [np.float32(c * 0.5**(len(_ERF_P) - 1 - i) * 0.5**0.5 / 2) for i, c in enumerate(_ERF_P)]
_GELU_Q = [np.float32(c * 0.5**(len(_ERF_Q) - 1 - i)) for i, c in enumerate(_ERF_Q)]
_GELU_CLIP = np.float32(4 * 2**0.5)


def gelu(x: npt.NDArray[np.float32], bias: npt.NDArray[np.float32]) -> None:
    """x + bias, then x * (1 + erf(x / sqrt 2)) / 2, in place, on 2-D x."""
    # A slice of rows at a time, so that the temporaries of the many passes stay in cache: over
    # a whole batch each pass went to memory (three times slower measured at 4096 x 1536).
    step = max(1, _CHUNK // max(1, x.shape[1]))
    s, s2, p, q = (np.empty((min(step, x.shape[0]), x.shape[1]), np.float32) for _ in range(4))
    for start in range(0, x.shape[0], step):
        c = x[start:start + step]
        n = c.shape[0]
        _gelu_chunk(c, bias, s[:n], s2[:n], p[:n], q[:n])


def _gelu_chunk(x: npt.NDArray[np.float32], bias: npt.NDArray[np.float32], s: npt.NDArray[np.float32],
                s2: npt.NDArray[np.float32], p: npt.NDArray[np.float32], q: npt.NDArray[np.float32]) -> None:
    x += bias
    np.clip(x, -_GELU_CLIP, _GELU_CLIP, out=s)
    np.multiply(s, s, out=s2)
    np.multiply(s2, _GELU_P[0], out=p)
    for c in _GELU_P[1:-1]:
        p += c
        p *= s2
    p += _GELU_P[-1]
    p *= s
    np.multiply(s2, _GELU_Q[0], out=q)
    for c in _GELU_Q[1:-1]:
        q += c
        q *= s2
    q += _GELU_Q[-1]
    p /= q
    p += np.float32(0.5)
    x *= p


# Sums of exp() outside [_TINY, inf) lost their precision: below, every term underflowed.
_TINY = np.float32(1e-30)


def attention(qkv: npt.NDArray[np.float32], key_bias: npt.NDArray[np.float32] | None,
               out: npt.NDArray[np.float32]) -> None:
    """Multi-head attention of (rows, length, 3, heads, head width) queries, keys and values
    into `out`, (rows, length, heads, head width), a few rows at a time so that their scores
    stay in cache from one product to the next."""
    rows, length = qkv.shape[:2]
    q = qkv[:, :, 0].transpose(0, 2, 1, 3)
    k = qkv[:, :, 1].transpose(0, 2, 3, 1)
    v = qkv[:, :, 2].transpose(0, 2, 1, 3)
    context = out.transpose(0, 2, 1, 3)
    step = max(1, _CHUNK // (HEADS * length * length))
    buf = np.empty((min(step, rows), HEADS, length, length), np.float32)
    for start in range(0, rows, step):
        c = slice(start, min(start + step, rows))
        s = np.matmul(q[c], k[c], out=buf[: c.stop - start])
        if key_bias is not None:
            s += key_bias[c]
        # The largest score is not subtracted first: the sums say when it should have been.
        with np.errstate(over="ignore"):
            np.exp(s, out=s)
        total = s.sum(axis=-1, keepdims=True)
        if not (total.min() >= _TINY and np.isfinite(total.max())):
            np.matmul(q[c], k[c], out=s)
            if key_bias is not None:
                s += key_bias[c]
            s -= s.max(axis=-1, keepdims=True)
            np.exp(s, out=s)
            total = s.sum(axis=-1, keepdims=True)
        s /= total
        np.matmul(s, v[c], out=context[c])


def layer_norm(x: npt.NDArray[np.float32], gain: npt.NDArray[np.float32],
                bias: npt.NDArray[np.float32]) -> None:
    x -= x.mean(axis=1, keepdims=True)
    var = np.einsum("ij,ij->i", x, x)[:, None]
    var /= np.float32(x.shape[1])
    var += _EPS
    np.sqrt(var, out=var)
    x /= var
    x *= gain
    x += bias
