#!/usr/bin/env python3
"""Writes example weight and data files for the Orvane and Belmot programs.

Run once from the repository root: python3 examples/make_examples.py
The weights are plausible random values from a fixed seed, so the files
are the same on every run. The data files are short: the programs wrap
around them until their fixed exemplar count is reached.
"""

import os
import random

NETWORKS = {
    "Orvane": [50, 50, 50, 37, 30, 25, 21, 18, 6],
    "Belmot": [50, 50, 50, 50, 42, 35, 30, 26, 14],
}
INPUTS = 8
RECORDS = 40


def values(numbers):
    # Zeros (empty accumulators and search vectors) are written short.
    return "".join("0 " if x == 0.0 else "%22.16e " % x for x in numbers)


def normalization(count, reading, rng):
    text = "%d\n" % count
    for _ in range(count):
        text += "%22.16e %22.16e\n" % (rng.uniform(0.5, 1.5), rng.uniform(-0.2, 0.2))
    if reading:
        text += "0\n"  # the reading files' second block, empty
    return text


def axon(rows, weights):
    return "%d 1\n1\n%d %s\n" % (rows, len(weights), values(weights))


def frame(numbers):
    return "%d %s\n" % (len(numbers), values(numbers))


def conjugate_gradient(count):
    zeros = [0.0] * count
    return "%d\n" % count + "".join(values(zeros) + "\n" for _ in range(5)) + "\n"


def weight_file(sizes, rng):
    outputs = sizes[-1]
    keys = ["hidden%d" % (k + 1) for k in range(len(sizes) - 1)] + ["output"]
    layers = list(zip(keys, sizes))
    sections = [("inputFile", "File", normalization(INPUTS, True, rng)),
                ("desiredFile", "File", normalization(outputs, True, rng)),
                ("activeOutputProbe", "DataWriter", normalization(outputs, False, rng)),
                ("activeDesiredProbe", "DataWriter", normalization(outputs, False, rng)),
                ("inputAxon", "Axon", axon(INPUTS, []))]
    for key, rows in layers:
        biases = [rng.uniform(-0.1, 0.1) for _ in range(rows)]
        sections.append((key + "Axon", "TanhAxon", axon(rows, biases)))
    ranges = [x for _ in range(outputs) for x in (-0.9, 0.9)]
    sections.append(("criterion", "L2Criterion",
                     axon(outputs, []) + "%d %s\n" % (outputs, values(ranges))))
    memory = [rng.uniform(-0.5, 0.5) for _ in range(INPUTS)]
    sections.append(("contextAxon", "IntegratorAxon",
                     axon(INPUTS, [rng.uniform(0.6, 0.9) for _ in range(INPUTS)]) + frame(memory)))
    sections.append(("contextAxonBackprop", "BackIntegratorAxon",
                     axon(INPUTS, [0.0] * INPUTS) + frame([0.0] * INPUTS)))
    gradients = []
    previous = INPUTS
    for key, rows in layers:
        count = rows * previous
        scale = (1.0 / previous) ** 0.5
        synapse = [rng.uniform(-scale, scale) for _ in range(count)]
        sections.append((key + "Synapse", "FullSynapse", frame(synapse)))
        sections.append((key + "SynapseBackprop", "BackFullSynapse", frame([0.0] * count)))
        gradients += [(key + "Synapse", count), (key + "Axon", rows)]
        previous = rows
    count = sizes[0] * INPUTS
    context = [rng.uniform(-0.3, 0.3) for _ in range(count)]
    # The delayed activity is the context memory the first exemplar reads.
    sections.append(("contextSynapse", "FullSynapse", frame(context) + frame(memory)))
    sections.append(("contextSynapseBackprop", "BackFullSynapse",
                     frame([0.0] * count) + frame([0.0] * INPUTS)))
    gradients.append(("contextSynapse", count))
    for key, count in gradients:
        sections.append((key + "BackpropGradient", "ConjugateGradient", conjugate_gradient(count)))
    sections.append(("control", "StaticControl", "0 %22.16e 1 0\n" % 1e9))
    return "#KqWeightFileVersion 247\n" + "".join(
        "#%s %s\n%s" % (key, word, body) for key, word, body in sections)


def data_file(width, low, high, rng):
    return "".join(values([rng.uniform(low, high) for _ in range(width)]) + "\n"
                   for _ in range(RECORDS))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    for name, sizes in NETWORKS.items():
        rng = random.Random(name)
        folder = os.path.join(here, name)
        os.makedirs(folder, exist_ok=True)
        files = {name + ".kqw": weight_file(sizes, rng),
                 "inputFile.asc": data_file(INPUTS, -1.0, 1.0, rng),
                 "desiredFile.asc": data_file(sizes[-1], -0.9, 0.9, rng)}
        for file_name, text in files.items():
            with open(os.path.join(folder, file_name), "w") as out:
                out.write(text)


if __name__ == "__main__":
    main()
