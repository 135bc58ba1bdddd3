#!/usr/bin/env python3
"""Writes the two short tones that quenZOR carries: up.wav (about 1 kHz) and down.wav (about
500 Hz).

Each is a RIFF/WAVE file of 1,962 bytes: PCM, one channel, 44,100 samples per second, 16 bits,
959 samples (about 22 ms). The sine starts at about 79 % of full scale and fades linearly to
silence over the 959 samples, so the tone ends without a click.

Usage: make_tones.py [output-folder]   (default: the folder of this script)
"""
import math
import os
import struct
import sys

RATE = 44100
SAMPLES = 959
START_LEVEL = 0.79


def tone(frequency: float) -> bytes:
    peak = START_LEVEL * 32767
    samples = []
    for i in range(SAMPLES):
        envelope = (SAMPLES - 1 - i) / (SAMPLES - 1)
        value = peak * envelope * math.sin(2 * math.pi * frequency * i / RATE + math.pi / 2)
        samples.append(int(round(value)))
    data = struct.pack("<%dh" % SAMPLES, *samples)
    fmt = struct.pack("<HHIIHH", 1, 1, RATE, RATE * 2, 2, 16)
    body = b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt + b"data" + struct.pack("<I", len(data)) + data
    return b"RIFF" + struct.pack("<I", len(body)) + body


def main(argv):
    folder = argv[1] if len(argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    for name, frequency in (("up.wav", 1000.0), ("down.wav", 500.0)):
        image = tone(frequency)
        assert len(image) == 1962, len(image)
        with open(os.path.join(folder, name), "wb") as f:
            f.write(image)
        print(f"{name}: {len(image)} bytes, {frequency:.0f} Hz")


if __name__ == "__main__":
    main(sys.argv)
