#!/usr/bin/env python3
"""Writes the example inputs of the momentum-trained networks Quillet and
Dravik: a weight file with every section the program reads (seeded random
weights, identity-near normalisation, zero-free velocities) and small input
and desired data files, which the programs wrap over their exemplars.

Run from anywhere: python3 examples/make_momentum_examples.py
"""

import os
import random

HERE = os.path.dirname(os.path.abspath(__file__))
SIZES = [8, 50, 50, 50, 50, 42, 35, 14]
LAYERS = len(SIZES)
OUTPUTS = 14


def fmt(v):
    return "%22.16e " % v


def values(rng, n, low, high):
    return [rng.uniform(low, high) for _ in range(n)]


def record(vs):
    return "%d " % len(vs) + "".join(fmt(v) for v in vs) + "\n"


def axon_key(layer):
    if layer == 0:
        return "inputAxon"
    if layer == LAYERS - 1:
        return "outputAxon"
    return "hidden%dAxon" % layer


def chain_key(target):
    return "outputSynapse" if target == LAYERS - 1 else "hidden%dSynapse" % target


def skip_key(source, target):
    to = axon_key(target)
    return axon_key(source) + "To" + to[0].upper() + to[1:] + "Synapse"


def normalization(rng, n, reading):
    text = "%d\n" % n
    for _ in range(n):
        text += fmt(rng.uniform(0.8, 1.2)) + fmt(rng.uniform(-0.1, 0.1)) + "\n"
    return text + ("0\n" if reading else "")


def common_head(rng):
    text = "#KqWeightFileVersion 247\n"
    text += "#inputFile File\n" + normalization(rng, 8, True)
    text += "#desiredFile File\n" + normalization(rng, OUTPUTS, True)
    text += "#activeOutputProbe DataWriter\n" + normalization(rng, OUTPUTS, False)
    text += "#activeDesiredProbe DataWriter\n" + normalization(rng, OUTPUTS, False)
    text += "#inputAxon Axon\n8 1\n1\n" + record([])
    for layer in range(1, LAYERS):
        text += "#%s TanhAxon\n%d 1\n1\n" % (axon_key(layer), SIZES[layer])
        text += record(values(rng, SIZES[layer], -0.2, 0.2))
    text += "#criterion L2Criterion\n%d 1\n1\n" % OUTPUTS + record([])
    pairs = []
    for _ in range(OUTPUTS):
        pairs += [-0.9, 0.9]
    text += "%d " % OUTPUTS + "".join(fmt(v) for v in pairs) + "\n"
    return text


def synapse_sections(rng, key, rows, columns, delayed=None, twin_delayed=None):
    scale = 1.0 / columns ** 0.5
    text = "#%s FullSynapse\n" % key + record(values(rng, rows * columns, -scale, scale))
    if delayed is not None:
        text += record([0.0] * delayed)
    text += "#%sBackprop BackFullSynapse\n" % key + record([0.0] * (rows * columns))
    if twin_delayed is not None:
        text += record([0.0] * twin_delayed)
    return text


def gradient_sections(gradients):
    text = ""
    for key, count in gradients:
        text += "#%sBackpropGradient Momentum\n" % key + record([0.0] * count)
    return text + "#control StaticControl\n0 1.0e9 0 0\n"


def data_files(rng, directory):
    with open(os.path.join(directory, "inputFile.asc"), "w") as f:
        for _ in range(20):
            f.write("".join(fmt(v) for v in values(rng, 8, -1.0, 1.0)) + "\n")
    with open(os.path.join(directory, "desiredFile.asc"), "w") as f:
        for _ in range(20):
            f.write("".join(fmt(v) for v in values(rng, OUTPUTS, -0.9, 0.9)) + "\n")


def quillet():
    rng = random.Random(110)
    text = common_head(rng)
    gradients = []
    for target in range(1, LAYERS):
        text += synapse_sections(rng, chain_key(target), SIZES[target], SIZES[target - 1])
        gradients += [(chain_key(target), SIZES[target] * SIZES[target - 1]), (axon_key(target), SIZES[target])]
    for source in range(LAYERS):
        for target in range(source + 2, LAYERS):
            key = skip_key(source, target)
            text += synapse_sections(rng, key, SIZES[target], SIZES[source])
            gradients.append((key, SIZES[target] * SIZES[source]))
    return rng, text + gradient_sections(gradients)


def dravik():
    rng = random.Random(120)
    text = common_head(rng)
    text += "#contextAxon IntegratorAxon\n8 1\n1\n" + record([0.8] * 8) + record([0.0] * 8)
    text += "#contextAxonBackprop BackIntegratorAxon\n8 1\n1\n" + record([0.0] * 8) + record([0.0] * 8)
    gradients = []
    for target in range(1, LAYERS):
        text += synapse_sections(rng, chain_key(target), SIZES[target], SIZES[target - 1])
        gradients += [(chain_key(target), SIZES[target] * SIZES[target - 1]), (axon_key(target), SIZES[target])]
    text += synapse_sections(rng, "contextSynapse", 50, 8, delayed=50, twin_delayed=8)
    gradients.append(("contextSynapse", 400))
    return rng, text + gradient_sections(gradients)


def main():
    for name, build in (("Quillet", quillet), ("Dravik", dravik)):
        directory = os.path.join(HERE, name)
        os.makedirs(directory, exist_ok=True)
        rng, text = build()
        with open(os.path.join(directory, name + ".kqw"), "w") as f:
            f.write(text)
        data_files(rng, directory)


if __name__ == "__main__":
    main()
