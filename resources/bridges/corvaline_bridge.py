"""Shared plumbing of Corvaline's engine bridges: the command line, progress lines and WAV I/O.

The bridges run with the managed runtime's interpreter in isolated mode ("-I"), so this file
is loaded by path from beside them rather than imported from sys.path. Everything here uses
the standard library only.

Contract with the application (one run restores one channel):
  --input IN.wav    mono WAV (32-bit float from the application; 16/24/32-bit PCM accepted)
  --output OUT.wav  mono 32-bit float WAV at the input's sample rate
  --repo FOLDER     where the model files are
  --verify          (Sidon CPU Reference) load the model files, check them, write nothing
Progress goes to standard output as lines {"corvaline_progress": x}, 0 <= x <= 1. Exit status
0 is success; any failure prints one line saying what went wrong and exits non-zero.
"""

import argparse
import array
import json
import os
import struct
import sys

FLOAT_FORMAT = 3
PCM_FORMAT = 1
EXTENSIBLE_FORMAT = 0xFFFE
CHUNK_SAMPLES = 1 << 20


class BridgeError(Exception):
    """A failure worded for the user; the bridge prints it and exits with status 1."""


def arguments(description, verify=False):
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--input")
    parser.add_argument("--output")
    parser.add_argument("--repo", required=True)
    if verify:
        parser.add_argument("--verify", action="store_true")
    args = parser.parse_args()
    if not getattr(args, "verify", False) and (not args.input or not args.output):
        parser.error("--input and --output are required")
    return args


def progress(fraction):
    fraction = min(max(float(fraction), 0.0), 1.0)
    sys.stdout.write(json.dumps({"corvaline_progress": round(fraction, 6)}) + "\n")
    sys.stdout.flush()


def run(main):
    """Runs `main`, turning failures into one line on standard error and status 1."""
    try:
        main()
    except BridgeError as error:
        sys.stderr.write(f"{error}\n")
        sys.exit(1)
    except KeyboardInterrupt:
        sys.exit(130)


def _chunks(handle):
    """(identifier, offset, size) of every chunk of a RIFF/RF64 WAVE file."""
    header = handle.read(12)
    if len(header) < 12 or header[8:12] != b"WAVE" or header[:4] not in (b"RIFF", b"RF64"):
        raise BridgeError("The input is not a WAV file.")
    rf64 = header[:4] == b"RF64"
    end = os.fstat(handle.fileno()).st_size
    data64 = None
    position = 12
    while position + 8 <= end:
        handle.seek(position)
        identifier, size = struct.unpack("<4sI", handle.read(8))
        if identifier == b"ds64" and rf64 and size >= 16:
            data64 = struct.unpack("<Q", handle.read(16)[8:16])[0]
        if identifier == b"data" and size == 0xFFFFFFFF and data64 is not None:
            size = data64
        size = min(size, end - position - 8)
        yield identifier, position + 8, size
        position += 8 + size + (size & 1)


def read_wav(path):
    """The samples of a mono WAV as array('f') and its sample rate."""
    with open(path, "rb") as handle:
        fmt = None
        data = None
        for identifier, offset, size in _chunks(handle):
            if identifier == b"fmt " and size >= 16:
                handle.seek(offset)
                fmt = handle.read(min(size, 40))
            elif identifier == b"data":
                data = (offset, size)
        if fmt is None or data is None:
            raise BridgeError("The input WAV has no format or no audio.")
        tag, channels, rate, _, _, bits = struct.unpack("<HHIIHH", fmt[:16])
        if tag == EXTENSIBLE_FORMAT and len(fmt) >= 26:
            tag = struct.unpack("<H", fmt[24:26])[0]
        if channels != 1:
            raise BridgeError(f"The input has {channels} channels; one was expected.")
        width = bits // 8
        if (tag, bits) not in ((FLOAT_FORMAT, 32), (PCM_FORMAT, 16), (PCM_FORMAT, 24), (PCM_FORMAT, 32)):
            raise BridgeError(f"Unsupported input format (format {tag}, {bits} bits).")
        handle.seek(data[0])
        raw = handle.read(data[1] - data[1] % width)
    if tag == FLOAT_FORMAT:
        samples = array.array("f")
        samples.frombytes(raw)
    elif bits == 16:
        pcm = array.array("h")
        pcm.frombytes(raw)
        samples = array.array("f", (s / 32768.0 for s in pcm))
    elif bits == 32:
        pcm = array.array("i")
        pcm.frombytes(raw)
        samples = array.array("f", (s / 2147483648.0 for s in pcm))
    else:
        samples = array.array(
            "f",
            (int.from_bytes(raw[i : i + 3], "little", signed=True) / 8388608.0 for i in range(0, len(raw), 3)),
        )
    if sys.byteorder != "little":
        samples.byteswap()
    return samples, rate


def write_wav(path, blocks, rate):
    """Writes a mono 32-bit float WAV from an iterable of array('f') blocks, through a
    temporary name so that a failed run leaves no partial output."""
    temporary = f"{path}.partial"
    frames = 0
    with open(temporary, "wb") as handle:
        handle.write(b"\0" * 58)
        for block in blocks:
            if sys.byteorder != "little":
                block = array.array("f", block)
                block.byteswap()
            block.tofile(handle)
            frames += len(block)
        data_bytes = frames * 4
        if data_bytes + 50 > 0xFFFFFFFF:
            raise BridgeError("The restored channel exceeds the 4 GB WAV limit.")
        handle.seek(0)
        handle.write(
            b"RIFF"
            + struct.pack("<I", 50 + data_bytes)
            + b"WAVEfmt "
            + struct.pack("<IHHIIHHH", 18, FLOAT_FORMAT, 1, int(rate), int(rate) * 4, 4, 32, 0)
            + b"fact"
            + struct.pack("<II", 4, frames)
            + b"data"
            + struct.pack("<I", data_bytes)
        )
    os.replace(temporary, path)


def tensor_blocks(tensor, length):
    """array('f') blocks of the first `length` values of a 1-D tensor, padded with silence
    when it is shorter, non-finite values written as 0."""
    available = min(int(tensor.shape[0]), length)
    for start in range(0, available, CHUNK_SAMPLES):
        values = tensor[start : min(start + CHUNK_SAMPLES, available)].tolist()
        yield array.array("f", (v if v == v and abs(v) != float("inf") else 0.0 for v in values))
    for start in range(available, length, CHUNK_SAMPLES):
        yield array.array("f", bytes(4 * min(CHUNK_SAMPLES, length - start)))
