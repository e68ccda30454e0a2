"""SeamlessM4TFeatureExtractor stand-in on real tensors: one 160-wide row per 320 samples
(20 ms at 16 kHz), each row holding the mean of its samples."""

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
        audio = torch.tensor(samples[: rows * 320], dtype=torch.float32).reshape(rows, 320)
        features = audio.mean(dim=1, keepdim=True).expand(rows, 160)
        return {"input_features": features.unsqueeze(0).contiguous(),
                "attention_mask": torch.ones(1, rows, dtype=torch.int32)}
