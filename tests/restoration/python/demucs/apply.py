"""apply_model stand-in: every stem is the mix."""


def apply_model(model, mix, device=None, shifts=1, split=True, overlap=0.25, progress=False):
    import torch

    assert device == "cpu" and mix.shape[:2] == (1, model.audio_channels)
    stems = len(model.sources)
    return torch.Tensor(mix.data * stems, (1, stems) + mix.shape[1:])
