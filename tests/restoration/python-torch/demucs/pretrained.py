"""get_model stand-in: a local repository must hold the named checkpoint."""

import pathlib


class _Model:
    samplerate = 44100
    audio_channels = 2
    sources = ["drums", "bass", "other", "vocals"]

    def eval(self):
        return self


def get_model(name, repo=None):
    assert isinstance(repo, pathlib.Path) and repo.is_dir()
    if not list(repo.glob(name + "-*.th")):
        raise RuntimeError(f"Could not find a pre-trained model with signature {name}.")
    return _Model()
