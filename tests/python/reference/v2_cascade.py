"""The cascade predictor (kind 8), in plain integers: first differences through four adaptive stages.

Bit-exact with codec/sequence/cascade.cpp, written from docs/format.md. The stages run from the block's
start over every code, whatever the segments' predictors, so a segment's residuals need the codes before it.
"""

from __future__ import annotations

STAGES = ((16, 4, 12), (32, 4, 13), (8, 4, 12), (2, 1, 7))  # taps, step, weight fraction bits


def wrap(v: int) -> int:
    return ((v + 2**31) & 0xFFFFFFFF) - 2**31


def sign(v: int) -> int:
    return (v > 0) - (v < 0)


class Stage:
    def __init__(self, taps: int, step: int, shift: int) -> None:
        self.step, self.shift = step, shift
        self.weights, self.inputs, self.moves, self.mean = [0] * taps, [0] * taps, [0] * taps, 0  # newest first

    def prediction(self) -> int:
        return wrap(sum(w * x for w, x in zip(self.weights, self.inputs)) >> self.shift)

    def update(self, value: int, residual: int) -> None:
        move = sign(residual) * self.step
        self.weights = [w + move * a for w, a in zip(self.weights, self.moves)]
        size = abs(value)
        scale = 4 if size > 3 * self.mean else 2 if 3 * size > 4 * self.mean else 1 if size else 0
        self.inputs = [value] + self.inputs[:-1]
        self.moves = [sign(value) * scale] + self.moves[:-1]
        self.mean += (size - self.mean) >> 4


class Cascade:
    def __init__(self) -> None:
        self.stages = [Stage(*s) for s in STAGES]
        self.last = 0

    def forward(self, code: int) -> int:
        value = wrap(code - self.last)
        self.last = code
        for stage in self.stages:
            residual = wrap(value - stage.prediction())
            stage.update(value, residual)
            value = residual
        return value

    def inverse(self, residual: int) -> int:
        predictions = [stage.prediction() for stage in self.stages]
        values = [residual]  # the last stage's residual, then each stage's input, last stage first
        for p in reversed(predictions):
            values.append(wrap(values[-1] + p))
        values.reverse()  # values[j] is stage j's input, values[j + 1] its residual
        for j, stage in enumerate(self.stages):
            stage.update(values[j], values[j + 1])
        self.last = wrap(self.last + values[0])
        return self.last


def predict(q, start: int, end: int) -> list[int]:
    """The residuals of q[start:end], the cascade having run over the block's codes before."""
    cascade = Cascade()
    out = [cascade.forward(int(v)) for v in q[:end]]
    return out[start:]


def reconstruct(q, start: int, end: int, r) -> None:
    """q[start:end] from its residuals, q[:start] decoded."""
    cascade = Cascade()
    for v in q[:start]:
        cascade.forward(int(v))
    for i in range(start, end):
        q[i] = cascade.inverse(int(r[i - start]))
