"""apply_model stand-in on real tensors: every stem is the mix."""


def apply_model(model, mix, device=None, shifts=1, split=True, overlap=0.25, progress=False):
    assert device == "cpu" and tuple(mix.shape[:2]) == (1, model.audio_channels)
    return mix[:, None].expand(-1, len(model.sources), -1, -1).contiguous()
