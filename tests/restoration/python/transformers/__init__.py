"""SeamlessM4TFeatureExtractor stand-in: one 160-wide row per 320 samples (20 ms at 16 kHz)."""

import os

for _name in ("HF_HUB_OFFLINE", "TRANSFORMERS_OFFLINE", "HF_HUB_DISABLE_TELEMETRY"):
    if os.environ.get(_name) != "1":
        raise RuntimeError(f"{_name} must be 1 before transformers is imported")


class SeamlessM4TFeatureExtractor:
    def __init__(self, **kwargs):
        assert not kwargs, "the bridge uses the default settings"

    def __call__(self, samples, sampling_rate, return_tensors):
        import torch

        assert sampling_rate == 16000 and return_tensors == "pt"
        rows = len(samples) // 320
        return {"input_features": torch.Tensor([], (1, rows, 160), list(samples)),
                "attention_mask": torch.Tensor([1.0] * rows, (1, rows))}
