"""Train a small two-layer classifier on a synthetic data set, with tarvik arrays only.

Three clouds of points in the plane, one per class; a hidden layer of rectified linear units; a
softmax over each sample's class scores; full-batch gradient descent on the cross-entropy. Matrix
products, `add`, `scale`, `relu`, `softmax`, `argmax`, `transpose`, gathers and masks do the work;
Python only loops over samples where the API has no per-row form (the row-wise softmax and the
logarithm of the loss).
"""

import math
import random
import sys

from tarvik import PyBoolArray, PyNDArray
from _values import flat_values

CLASSES = 3
FEATURES = 2
HIDDEN = 16
SAMPLES_PER_CLASS = 120
LEARNING_RATE = 0.5


def make_data(rng):
    """Points around three centres on a circle, each with its class label, shuffled."""
    samples = []
    for label in range(CLASSES):
        angle = 2.0 * math.pi * label / CLASSES
        for _ in range(SAMPLES_PER_CLASS):
            samples.append((math.cos(angle) + rng.gauss(0.0, 0.45), math.sin(angle) + rng.gauss(0.0, 0.45), label))
    rng.shuffle(samples)
    features = PyNDArray([v for x, y, _ in samples for v in (x, y)], [len(samples), FEATURES])
    labels = [label for _, _, label in samples]
    return features, labels


def random_matrix(rng, rows, cols, spread):
    return PyNDArray([rng.uniform(-spread, spread) for _ in range(rows * cols)], [rows, cols])


def repeat_row(row, count):
    """A [count, n] array whose rows are all the [1, n] array `row`: bias addition without broadcasting."""
    return row.gather(0, [0] * count)


def row_softmax(scores):
    """Softmax of each row on its own (the method normalises over the whole array it is given)."""
    rows, cols = scores.shape()
    probabilities = []
    for i in range(rows):
        row = scores.slice_row(i).softmax()
        probabilities.extend(row.get([j]) for j in range(cols))
    return PyNDArray(probabilities, [rows, cols])


class TwoLayerClassifier:
    def __init__(self, rng):
        self.w1 = random_matrix(rng, FEATURES, HIDDEN, 1.0)
        self.b1 = PyNDArray([0.0] * HIDDEN, [1, HIDDEN])
        self.w2 = random_matrix(rng, HIDDEN, CLASSES, 0.5)
        self.b2 = PyNDArray([0.0] * CLASSES, [1, CLASSES])

    def forward(self, features):
        count = features.shape()[0]
        hidden_in = features.matmul(self.w1).add(repeat_row(self.b1, count))
        hidden = hidden_in.relu()
        scores = hidden.matmul(self.w2).add(repeat_row(self.b2, count))
        return hidden, row_softmax(scores)

    def predict(self, features):
        _, probabilities = self.forward(features)
        return [probabilities.slice_row(i).argmax() for i in range(features.shape()[0])]

    def train_step(self, features, labels):
        """One gradient step on the mean cross-entropy; returns the loss before the step."""
        count = features.shape()[0]
        hidden, probabilities = self.forward(features)

        # The probability each sample gives its own class, picked out of the flat array.
        picked = probabilities.reshape([count * CLASSES]).fancy_index([i * CLASSES + y for i, y in enumerate(labels)])
        loss = -sum(math.log(max(p, 1e-300)) for p in flat_values(picked)) / count

        one_hot = PyNDArray([1.0 if j == y else 0.0 for y in labels for j in range(CLASSES)], [count, CLASSES])
        score_grad = probabilities.add(one_hot.scale(-1.0)).scale(1.0 / count)
        ones = PyNDArray([1.0] * count, [1, count])

        w2_grad = hidden.transpose().matmul(score_grad)
        b2_grad = ones.matmul(score_grad)
        # The rectifier passes gradient only where its input was positive.
        active = PyBoolArray([v > 0.0 for v in flat_values(hidden)], hidden.shape())
        zeros = PyNDArray([0.0] * (count * HIDDEN), [count, HIDDEN])
        hidden_grad = score_grad.matmul(self.w2.transpose()).where_(active, zeros)
        w1_grad = features.transpose().matmul(hidden_grad)
        b1_grad = ones.matmul(hidden_grad)

        self.w2 = self.w2.add(w2_grad.scale(-LEARNING_RATE))
        self.b2 = self.b2.add(b2_grad.scale(-LEARNING_RATE))
        self.w1 = self.w1.add(w1_grad.scale(-LEARNING_RATE))
        self.b1 = self.b1.add(b1_grad.scale(-LEARNING_RATE))
        return loss


def accuracy(model, features, labels):
    predictions = model.predict(features)
    correct = PyBoolArray([p == y for p, y in zip(predictions, labels)], [len(labels)])
    hits = PyNDArray([1.0] * len(labels), [len(labels)]).boolean_mask(correct)
    return hits.sum() / len(labels)


def train(epochs, seed=7, report=print):
    """Trains on 80% of the data, reports each epoch, and returns the losses and the test accuracy."""
    rng = random.Random(seed)
    features, labels = make_data(rng)
    count = len(labels)
    split = count * 4 // 5
    train_x = features.gather(0, list(range(split)))
    test_x = features.gather(0, list(range(split, count)))
    train_y, test_y = labels[:split], labels[split:]

    model = TwoLayerClassifier(rng)
    losses = []
    for epoch in range(1, epochs + 1):
        losses.append(model.train_step(train_x, train_y))
        report(f"epoch {epoch:3d}  loss {losses[-1]:.4f}  train accuracy {accuracy(model, train_x, train_y):.3f}")
    test_accuracy = accuracy(model, test_x, test_y)
    report(f"test accuracy {test_accuracy:.3f} on {count - split} held-out samples")
    return losses, test_accuracy


if __name__ == "__main__":
    train(int(sys.argv[1]) if len(sys.argv) > 1 else 60)
