"""Sidon CPU Reference bridge: restores one mono channel with the published reference files.

Run by the Sidon Reference runtime's interpreter:
  python3 -I sidon_reference_bridge.py --input IN.wav --output OUT.wav --repo MODEL_FOLDER
  python3 -I sidon_reference_bridge.py --repo FOLDER --verify

The model folder holds the reference TorchScript pair: "feature_extractor_cpu.pt" (SeamlessM4T
log-mel features [1, T, 160] -> speech features [1, T, 1024]) and "decoder_cpu.pt" (features
[1, 1024, T] -> 48 kHz audio [1, 1, 960 x T]). The channel is resampled to 16 kHz, walked in
ten-second windows with one second of context on each side, and the windows' cores are
joined with short crossfades; the result is resampled to the input's rate and written with
exactly the input's length. Nothing is fetched from the network: the feature extractor is
built from its default settings and the three offline variables are set before transformers
is imported.
"""

import importlib.util
import math
import os
import sys

for _name in ("HF_HUB_OFFLINE", "TRANSFORMERS_OFFLINE", "HF_HUB_DISABLE_TELEMETRY"):
    os.environ[_name] = "1"

_spec = importlib.util.spec_from_file_location(
    "corvaline_bridge", os.path.join(os.path.dirname(os.path.abspath(__file__)), "corvaline_bridge.py")
)
bridge = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(bridge)

PREDICTOR = "feature_extractor_cpu.pt"
DECODER = "decoder_cpu.pt"
FEATURE_RATE = 16000
OUTPUT_RATE = 48000
SAMPLES_PER_ROW = 960  # 48 kHz samples per feature row (20 ms)
WINDOW = 10 * FEATURE_RATE  # the model's context window
CONTEXT = 1 * FEATURE_RATE  # on each side of a window's core
CROSSFADE = OUTPUT_RATE // 50  # 20 ms between neighbouring cores
TAIL = FEATURE_RATE // 2  # silence after each window, so its last rows are complete


def load(repo):
    import torch

    models = []
    for name in (PREDICTOR, DECODER):
        path = os.path.join(repo, name)
        if not os.path.isfile(path):
            raise bridge.BridgeError(f"The Sidon reference file {name} is missing from {repo}.")
        try:
            model = torch.jit.load(path, map_location="cpu")
        except Exception as error:  # the archive's own reason follows on the same line
            raise bridge.BridgeError(f"The Sidon reference file {name} could not be loaded: {error}")
        model.eval()
        models.append(model)
    return models


def features_of(output):
    """The speech features a predictor returned: a tensor, a dict or a tuple holding it."""
    if isinstance(output, dict):
        output = output.get("last_hidden_state", next(iter(output.values()), None))
    if isinstance(output, (tuple, list)):
        output = output[0] if output else None
    if output is None or output.dim() != 3:
        raise bridge.BridgeError("The Sidon predictor returned no speech features.")
    return output


class Restorer:
    def __init__(self, repo):
        import torch
        from transformers import SeamlessM4TFeatureExtractor

        self.torch = torch
        self.predictor, self.decoder = load(repo)
        self.extractor = SeamlessM4TFeatureExtractor()

    def window(self, samples):
        """48 kHz restoration of a 16 kHz window (as long as the window x 3, or a little less).
        Called in inference mode."""
        torch = self.torch
        padded = torch.cat([samples, torch.zeros(TAIL)])
        inputs = self.extractor(padded.tolist(), sampling_rate=FEATURE_RATE, return_tensors="pt")
        features = features_of(self.predictor(inputs["input_features"].float()))
        audio = self.decoder(features.transpose(1, 2).contiguous())
        audio = audio.reshape(-1).float()
        if audio.shape[0] != SAMPLES_PER_ROW * features.shape[1]:
            raise bridge.BridgeError("Incompatible Sidon vocoder output.")
        return audio[: 3 * int(samples.shape[0])]

    def restore(self, samples, report):
        """48 kHz restoration of 16 kHz `samples`, window by window."""
        torch = self.torch
        count = int(samples.shape[0])
        length = 3 * count
        result = torch.zeros(length)
        weight = torch.zeros(length)
        core = WINDOW - 2 * CONTEXT
        starts = list(range(0, max(count, 1), core))
        for index, start in enumerate(starts):
            first = max(start - CONTEXT, 0)
            last = min(start + core + CONTEXT, count)
            audio = self.window(samples[first:last])
            # The core plus a crossfade into each neighbour, weighted by a trapezoid.
            begin = max(3 * start - CROSSFADE, 3 * first)
            end = min(3 * (start + core) + CROSSFADE, 3 * first + int(audio.shape[0]), length)
            if end <= begin:
                continue
            ramp = torch.ones(end - begin)
            fade = min(2 * CROSSFADE, end - begin)
            if start > 0:
                ramp[:fade] = torch.linspace(0.0, 1.0, fade)
            if start + core < count:
                ramp[end - begin - fade :] = ramp[end - begin - fade :] * torch.linspace(1.0, 0.0, fade)
            segment = audio[begin - 3 * first : end - 3 * first]
            result[begin:end] = result[begin:end] + segment * ramp
            weight[begin:end] = weight[begin:end] + ramp
            report((index + 1) / len(starts))
        return result / weight.clamp(min=1e-6)


def resample(torch, samples, source, target):
    if source == target:
        return samples
    import torchaudio

    return torchaudio.functional.resample(samples.reshape(1, -1), int(source), int(target)).reshape(-1)


def verify(repo):
    """Loads both files and runs one short window through them."""
    restorer = Restorer(repo)
    with restorer.torch.inference_mode():
        audio = restorer.window(restorer.torch.zeros(FEATURE_RATE))
    if int(audio.shape[0]) != 3 * FEATURE_RATE:
        raise bridge.BridgeError("Incompatible Sidon vocoder output.")


def main():
    args = bridge.arguments("Restore one channel with the Sidon reference model.", verify=True)
    if args.verify:
        verify(args.repo)
        return
    bridge.progress(0)
    samples, rate = bridge.read_wav(args.input)
    restorer = Restorer(args.repo)
    torch = restorer.torch
    torch.set_num_threads(max(os.cpu_count() or 1, 1))
    with torch.inference_mode():
        audio = torch.frombuffer(samples, dtype=torch.float32) if len(samples) else torch.zeros(0)
        speech = resample(torch, audio, rate, FEATURE_RATE)
        bridge.progress(0.02)
        restored = restorer.restore(speech, lambda f: bridge.progress(0.02 + 0.93 * f))
        restored = resample(torch, restored, OUTPUT_RATE, rate)
        restored = torch.nan_to_num(restored, nan=0.0, posinf=0.0, neginf=0.0)
    bridge.write_wav(args.output, bridge.tensor_blocks(restored, len(samples)), rate)
    bridge.progress(1)


if __name__ == "__main__":
    bridge.run(main)
