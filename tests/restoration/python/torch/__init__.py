"""A small stand-in for torch: flat float lists with a shape, and the calls the bridges make."""

import contextlib
import math

from . import jit  # noqa: F401

float32 = "float32"


def _size(shape):
    n = 1
    for s in shape:
        n *= s
    return n


class Tensor:
    def __init__(self, data, shape=None, payload=None):
        self.data = [float(v) for v in data]
        self.shape = tuple(shape) if shape is not None else (len(self.data),)
        self.payload = payload  # stand-in models hide their audio here

    # shape
    def dim(self):
        return len(self.shape)

    def numel(self):
        return _size(self.shape)

    def reshape(self, *shape):
        shape = list(shape)
        if -1 in shape:
            known = _size([s for s in shape if s != -1])
            shape[shape.index(-1)] = self.numel() // known if known else 0
        return Tensor(self.data, shape, self.payload)

    def expand(self, count, _):
        assert self.shape[0] == 1 and len(self.shape) == 2
        return Tensor(self.data * count, (count, self.shape[1]))

    def transpose(self, a, b):
        shape = list(self.shape)
        shape[a], shape[b] = shape[b], shape[a]
        return Tensor([], shape, self.payload) if not self.data else Tensor(self.data, shape)

    def contiguous(self):
        return self

    def float(self):
        return self

    def tolist(self):
        return list(self.data)

    def __len__(self):
        return self.shape[0]

    def __float__(self):
        return self.data[0]

    # indexing
    def __getitem__(self, key):
        if key is None:
            return Tensor(self.data, (1,) + self.shape)
        if isinstance(key, slice):
            assert len(self.shape) == 1
            return Tensor(self.data[key])
        if isinstance(key, int):
            key = (key,)
        stride = _size(self.shape[len(key) :])
        offset = 0
        for i, k in enumerate(key):
            offset = offset * self.shape[i] + k
        offset *= stride
        return Tensor(self.data[offset : offset + stride], self.shape[len(key) :])

    def __setitem__(self, key, value):
        assert isinstance(key, slice) and len(self.shape) == 1
        values = value.data if isinstance(value, Tensor) else [float(value)] * len(range(*key.indices(len(self.data))))
        self.data[key] = values

    # arithmetic
    def _zip(self, other, op):
        if isinstance(other, Tensor):
            if other.numel() == 1 and self.numel() != 1:
                other = other.data[0]
            else:
                assert len(other.data) == len(self.data), (self.shape, other.shape)
                return Tensor([op(a, b) for a, b in zip(self.data, other.data)], self.shape)
        return Tensor([op(a, other) for a in self.data], self.shape)

    def __add__(self, other):
        return self._zip(other, lambda a, b: a + b)

    def __sub__(self, other):
        return self._zip(other, lambda a, b: a - b)

    def __mul__(self, other):
        return self._zip(other, lambda a, b: a * b)

    def __truediv__(self, other):
        return self._zip(other, lambda a, b: a / b)

    __radd__ = __add__
    __rmul__ = __mul__

    def clamp(self, min=None):
        return Tensor([v if v >= min else min for v in self.data], self.shape)

    def mean(self, dim=None):
        if dim is None:
            return Tensor([sum(self.data) / len(self.data)], ())
        assert dim == 0 and len(self.shape) == 2
        rows, cols = self.shape
        return Tensor([sum(self.data[r * cols + c] for r in range(rows)) / rows for c in range(cols)])

    def std(self):
        n = len(self.data)
        mean = sum(self.data) / n
        return Tensor([math.sqrt(sum((v - mean) ** 2 for v in self.data) / (n - 1))], ())

    def eval(self):
        return self


def frombuffer(buffer, dtype):
    assert dtype == float32
    return Tensor(list(buffer))


def zeros(n):
    return Tensor([0.0] * n)


def ones(n):
    return Tensor([1.0] * n)


def linspace(start, end, steps):
    if steps == 1:
        return Tensor([start])
    return Tensor([start + (end - start) * i / (steps - 1) for i in range(steps)])


def cat(tensors):
    data = []
    for t in tensors:
        data.extend(t.data)
    return Tensor(data)


def nan_to_num(t, nan=0.0, posinf=0.0, neginf=0.0):
    def fix(v):
        if v != v:
            return nan
        if v == math.inf:
            return posinf
        if v == -math.inf:
            return neginf
        return v

    return Tensor([fix(v) for v in t.data], t.shape)


def set_num_threads(_):
    pass


@contextlib.contextmanager
def inference_mode():
    yield
