#!/usr/bin/python3
"""Writes the small speaker-embedding fixtures the unit tests compare against.

A narrow ResNet34 with seeded random weights (and non-trivial batch-norm statistics) is
exported to ONNX the way the published VoxCeleb model was: evaluation mode, batch norm
folded into the convolutions, statistics pooling and one linear layer. Its filter banks
come from a float64 NumPy version of Kaldi's published algorithm, and its embeddings from
PyTorch itself, so the C++ front end and network are each checked against an independent
computation.

Run with Debian's python3-torch, python3-onnx and python3-numpy:
    tools/make_speaker_fixture.py SPEECH.wav tests/speakers/fixtures
With --full, only a random network of the published size is written (32 channels wide, 256
values out), with PyTorch's embedding of the fixture speech beside it (PATH.reference.f32),
for timing and for checking the full width where the published file is absent:
    tools/make_speaker_fixture.py --full /tmp/speaker_full.onnx
With --centred, the same networks (narrow, or full with --full) have their mean embedding over
looped 1.5 s windows of espeak-ng speech taken out of the output bias, so that embeddings no
longer share a large common part and cosine similarities spread over most of [-1, 1] as a
trained network's do (random weights alone keep them between 0.96 and 1). Needs espeak-ng and
sox; the narrow one is what speaker_meeting_bench compares its paths on:
    tools/make_speaker_fixture.py --centred tests/speakers/fixtures/speaker_centred.onnx
    tools/make_speaker_fixture.py --centred --full /tmp/speaker_full_centred.onnx
"""
import random
import struct
import subprocess
import sys
import wave
from pathlib import Path

import numpy as np
import torch
import torch.nn as nn
import torch.nn.functional as F

SAMPLE_RATE = 16000
ROW = 160000
MEL_BINS = 80
WIDTH = 8
EMBEDDING = 32
FRAME_WEIGHTS = 589


# --- Kaldi filter bank, float64 ------------------------------------------------------------
def mel(f):
    return 1127.0 * np.log(1.0 + f / 700.0)


def mel_banks():
    fft_bins = 256
    bin_width = SAMPLE_RATE / 512
    low, high = mel(20.0), mel(8000.0)
    delta = (high - low) / (MEL_BINS + 1)
    banks = np.zeros((MEL_BINS, fft_bins + 1))
    freqs = mel(bin_width * np.arange(fft_bins))
    for b in range(MEL_BINS):
        left, centre, right = low + b * delta, low + (b + 1) * delta, low + (b + 2) * delta
        for i, m in enumerate(freqs):
            if left < m < right:
                banks[b, i] = (m - left) / (centre - left) if m <= centre else (right - m) / (right - centre)
    return banks


def fbank(samples):
    x = samples.astype(np.float64) * 32768.0
    frames = 1 + (len(x) - 400) // 160
    window = 0.54 - 0.46 * np.cos(2 * np.pi * np.arange(400) / 399)
    banks = mel_banks()
    out = np.zeros((frames, MEL_BINS))
    for t in range(frames):
        f = x[t * 160:t * 160 + 400].copy()
        f -= f.mean()
        f[1:] -= 0.97 * f[:-1].copy()
        f[0] -= 0.97 * f[0]
        f *= window
        power = np.abs(np.fft.rfft(f, 512)) ** 2
        out[t] = np.log(np.maximum(banks @ power, np.finfo(np.float32).eps))
    return out - out.mean(axis=0)


# --- network ---------------------------------------------------------------------------------
class Block(nn.Module):
    def __init__(self, cin, cout, stride):
        super().__init__()
        self.conv1 = nn.Conv2d(cin, cout, 3, stride, 1, bias=False)
        self.bn1 = nn.BatchNorm2d(cout)
        self.conv2 = nn.Conv2d(cout, cout, 3, 1, 1, bias=False)
        self.bn2 = nn.BatchNorm2d(cout)
        self.shortcut = nn.Sequential()
        if stride != 1 or cin != cout:
            self.shortcut = nn.Sequential(nn.Conv2d(cin, cout, 1, stride, bias=False), nn.BatchNorm2d(cout))

    def forward(self, x):
        out = F.relu(self.bn1(self.conv1(x)))
        out = self.bn2(self.conv2(out))
        return F.relu(out + self.shortcut(x))


class Net(nn.Module):
    def __init__(self, width, embedding):
        super().__init__()
        self.conv1 = nn.Conv2d(1, width, 3, 1, 1, bias=False)
        self.bn1 = nn.BatchNorm2d(width)
        layers, cin = [], width
        for i, (blocks, stride) in enumerate(zip((3, 4, 6, 3), (1, 2, 2, 2))):
            cout = width * 2 ** i
            seq = []
            for b in range(blocks):
                seq.append(Block(cin, cout, stride if b == 0 else 1))
                cin = cout
            layers.append(nn.Sequential(*seq))
        self.layer1, self.layer2, self.layer3, self.layer4 = layers
        self.seg_1 = nn.Linear(2 * cin * (MEL_BINS // 8), embedding)

    def trunk(self, feats):
        x = feats.permute(0, 2, 1).unsqueeze(1)
        x = F.relu(self.bn1(self.conv1(x)))
        return self.layer4(self.layer3(self.layer2(self.layer1(x))))

    def forward(self, feats):
        x = self.trunk(feats)
        x = x.reshape(x.shape[0], -1, x.shape[-1])
        stats = torch.cat((x.mean(-1), torch.sqrt(torch.var(x, dim=-1) + 1e-7)), dim=1)
        return self.seg_1(stats)


def weighted_embedding(net, feats, weights):
    with torch.no_grad():
        x = net.trunk(torch.tensor(feats, dtype=torch.float32)[None]).double().numpy()[0]
    x = x.reshape(-1, x.shape[-1])
    frames = x.shape[-1]
    index = np.minimum(len(weights) - 1, np.floor((np.arange(frames) + 0.5) * len(weights) / frames).astype(int))
    w = weights[index]
    v1, v2 = w.sum(), (w * w).sum()
    mean = (x * w).sum(-1) / v1
    var = (w * (x - mean[:, None]) ** 2).sum(-1) / (v1 - v2 / v1)
    stats = np.concatenate((mean, np.sqrt(var + 1e-7)))
    return net.seg_1.weight.detach().double().numpy() @ stats + net.seg_1.bias.detach().double().numpy()


def read_wav(path):
    with wave.open(str(path)) as w:
        assert w.getframerate() == SAMPLE_RATE and w.getsampwidth() == 2 and w.getnchannels() == 1
        data = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2")
    return data[:ROW] if len(data) >= ROW else np.pad(data, (0, ROW - len(data)))


def full(path):
    torch.manual_seed(1)
    net = Net(32, 256).eval()
    speech = np.fromfile(Path(__file__).parent.parent / "tests/speakers/fixtures/speech.s16", dtype="<i2")
    feats = torch.tensor(fbank(speech.astype(np.float64) / 32768.0)[None], dtype=torch.float32)
    with torch.no_grad():
        net(feats).numpy()[0].astype("<f4").tofile(path + ".reference.f32")
        torch.onnx.export(net, feats, path, opset_version=11,
                          input_names=["feats"], output_names=["embs"])


def narrow():
    torch.manual_seed(20261208)
    np.random.seed(20261208)
    net = Net(WIDTH, EMBEDDING)
    for m in net.modules():
        if isinstance(m, nn.BatchNorm2d):
            m.running_mean.uniform_(-0.2, 0.2)
            m.running_var.uniform_(0.5, 1.5)
            m.weight.data.uniform_(0.5, 1.5)
            m.bias.data.uniform_(-0.2, 0.2)
    return net.eval()


# Not the voices or the seed of speaker_meeting_bench's meeting, so that the bias is not fitted
# to the audio it is measured on.
CENTRING_VOICES = ("en-us+m1", "en+f2", "en-gb+m4", "en-us+f4", "en-gb-x-rp+m2")
WORDS = ("people agree on a simple plan for the week ahead while the numbers come in later "
         "than anyone hoped and the team asks for more time").split()


def espeak(voice, text):
    wav = subprocess.run(["espeak-ng", "-v", voice, "--stdout", text], check=True,
                         capture_output=True).stdout
    raw = subprocess.run(["sox", "-q", "-t", "wav", "-", "-t", "f32", "-r", "16000", "-c", "1", "-"],
                         input=wav, check=True, capture_output=True).stdout
    x = np.frombuffer(raw, dtype="<f4")
    loud = np.nonzero(np.abs(x) > 0.01)[0]
    return x[loud[0]:loud[-1] + 1] if len(loud) else x[:0]


def centred(net, path):
    rng = random.Random(20261209)
    windows = []
    for voice in CENTRING_VOICES:
        speech = espeak(voice, " ".join(rng.choice(WORDS) for _ in range(40)))
        for start in range(0, len(speech) - 24000, 8000):
            clip = speech[start:start + 24000]
            windows.append(np.resize(clip, ROW))  # looped, as a change window's row is
    with torch.no_grad():
        embs = []
        for k in range(0, len(windows), 16):
            feats = np.stack([fbank(w.astype(np.float64)) for w in windows[k:k + 16]])
            embs.append(net(torch.tensor(feats, dtype=torch.float32)).double().numpy())
        embs = np.concatenate(embs)
        net.seg_1.bias -= torch.tensor(embs.mean(axis=0), dtype=torch.float32)
        after = embs - embs.mean(axis=0)
        unit = after / np.linalg.norm(after, axis=1, keepdims=True)
        sims = unit @ unit.T
        feats = torch.tensor(fbank(windows[0].astype(np.float64))[None], dtype=torch.float32)
        torch.onnx.export(net, feats, path, opset_version=11, input_names=["feats"],
                          output_names=["embs"],
                          dynamic_axes={"feats": {0: "B", 1: "T"}, "embs": {0: "B"}})
    off = sims[~np.eye(len(sims), dtype=bool)]
    print(path, "centred over", len(windows), "windows; similarities from", off.min(), "to",
          off.max(), "median", np.median(off))


def main():
    if sys.argv[1] == "--centred":
        if sys.argv[2] == "--full":
            torch.manual_seed(1)
            return centred(Net(32, 256).eval(), sys.argv[3])
        return centred(narrow(), sys.argv[2])
    if sys.argv[1] == "--full":
        return full(sys.argv[2])
    speech_wav, out = Path(sys.argv[1]), Path(sys.argv[2])
    out.mkdir(parents=True, exist_ok=True)
    net = narrow()

    speech = read_wav(speech_wav)
    # The loop repeats the first half second: the same stretch over and over.
    loop = np.tile(speech[:8000], ROW // 8000)
    silence = np.zeros(ROW, dtype="<i2")
    cases = [speech, silence, loop]
    feats = [fbank(c.astype(np.float64) / 32768.0) for c in cases]

    with torch.no_grad():
        batch = torch.tensor(np.stack(feats), dtype=torch.float32)
        embeddings = net(batch).double().numpy()
        torch.onnx.export(net, batch[:1], str(out / "speaker_tiny.onnx"), opset_version=11,
                          input_names=["feats"], output_names=["embs"],
                          dynamic_axes={"feats": {0: "B", 1: "T"}, "embs": {0: "B"}})

    # Speech in the first two thirds of the row only.
    weights = np.where(np.arange(FRAME_WEIGHTS) < 2 * FRAME_WEIGHTS // 3, 1.0, 0.0)
    weights[100:150] = 0.25
    weighted = weighted_embedding(net, feats[0], weights)

    speech.astype("<i2").tofile(out / "speech.s16")
    feats[0].astype("<f4").tofile(out / "speech_fbank.f32")
    weights.astype("<f4").tofile(out / "speech_weights.f32")
    np.concatenate((embeddings.reshape(-1), weighted)).astype("<f4").tofile(out / "embeddings.f32")
    print("fixtures written to", out, "embedding norms", np.linalg.norm(embeddings, axis=1), np.linalg.norm(weighted))


if __name__ == "__main__":
    main()
