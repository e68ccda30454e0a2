"""HTDemucs bridge: the vocals of one mono channel, separated by the hybrid-transformer model.

Run by the Demucs runtime's interpreter:
  python3 -I demucs_bridge.py --input IN.wav --output OUT.wav --repo FOLDER

FOLDER holds the checkpoint "955717e8-8726e21a.th", which the separation package loads as a
local model repository (nothing is fetched). The channel is resampled to the model's rate,
given to the model as identical left and right channels, normalised as the separation
package's own command line does, and the vocals stem is folded back to mono at the input's
rate, with at least the input's length.
"""

import importlib.util
import os
import pathlib

_spec = importlib.util.spec_from_file_location(
    "corvaline_bridge", os.path.join(os.path.dirname(os.path.abspath(__file__)), "corvaline_bridge.py")
)
bridge = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(bridge)

MODEL = "955717e8"
STEM = "vocals"


def load(repo):
    from demucs.pretrained import get_model

    folder = pathlib.Path(repo)
    if not any(folder.glob(MODEL + "-*.th")):
        raise bridge.BridgeError(f"The HTDemucs checkpoint {MODEL}-*.th is missing from {repo}.")
    model = get_model(MODEL, repo=folder)
    model.eval()
    if STEM not in model.sources:
        raise bridge.BridgeError("The HTDemucs checkpoint has no vocals stem.")
    return model


def resample(samples, source, target):
    if source == target:
        return samples
    import torchaudio

    return torchaudio.functional.resample(samples.reshape(1, -1), int(source), int(target)).reshape(-1)


def main():
    args = bridge.arguments("Separate the vocals of one channel with HTDemucs.")
    bridge.progress(0)
    import torch
    from demucs.apply import apply_model

    samples, rate = bridge.read_wav(args.input)
    model = load(args.repo)
    torch.set_num_threads(max(os.cpu_count() or 1, 1))
    bridge.progress(0.05)
    with torch.inference_mode():
        audio = torch.frombuffer(samples, dtype=torch.float32) if len(samples) else torch.zeros(0)
        mono = resample(audio, rate, model.samplerate)
        mix = mono.reshape(1, -1).expand(model.audio_channels, -1).contiguous()
        mean = float(mono.mean()) if mono.shape[0] else 0.0
        spread = float(mono.std()) if mono.shape[0] > 1 else 0.0
        spread = spread if spread > 1e-8 else 1.0
        normalised = (mix - mean) / spread
        sources = apply_model(model, normalised[None], device="cpu", shifts=1, split=True, overlap=0.25, progress=False)
        bridge.progress(0.9)
        vocals = sources[0, model.sources.index(STEM)] * spread + mean
        restored = resample(vocals.mean(0), model.samplerate, rate)
        restored = torch.nan_to_num(restored, nan=0.0, posinf=0.0, neginf=0.0)
    bridge.write_wav(args.output, bridge.tensor_blocks(restored, len(samples)), rate)
    bridge.progress(1)


if __name__ == "__main__":
    bridge.run(main)
