"""torch.jit.load for the stand-in: a model file holds the word "predictor" or "decoder"."""

import os


class _Predictor:
    def eval(self):
        return self

    def __call__(self, features):
        assert features.dim() == 3 and features.shape[2] == 160, features.shape
        import torch

        return {"last_hidden_state": torch.Tensor([], (1, features.shape[1], 1024), features.payload)}


class _Decoder:
    def eval(self):
        return self

    def __call__(self, features):
        import torch

        assert features.shape[:2] == (1, 1024), features.shape
        rows = features.shape[2]
        audio = [v for v in features.payload for _ in range(3)]
        audio = (audio + [0.0] * (960 * rows))[: 960 * rows]
        return torch.Tensor(audio, (1, 1, 960 * rows))


def load(path, map_location=None):
    assert map_location == "cpu"
    with open(path, "rb") as handle:
        kind = handle.read(64).strip()
    if os.environ.get("HF_HUB_OFFLINE") != "1":
        raise RuntimeError("the stand-in expects the offline variables")
    if kind == b"predictor":
        return _Predictor()
    if kind == b"decoder":
        return _Decoder()
    raise RuntimeError("PytorchStreamReader failed reading zip archive: failed finding central directory")
