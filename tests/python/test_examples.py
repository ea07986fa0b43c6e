import importlib.util
import pathlib
import subprocess
import sys

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def load_example(name):
    sys.path.insert(0, str(EXAMPLES))
    spec = importlib.util.spec_from_file_location(name, EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_classifier_loss_falls_and_it_learns():
    lines = []
    losses, test_accuracy = load_example("classifier").train(20, report=lines.append)
    assert len(losses) == 20 and len(lines) == 21
    assert all(b < a for a, b in zip(losses[:5], losses[1:6])), losses
    assert losses[-1] < 0.6 * losses[0]
    assert test_accuracy > 0.8


@pytest.mark.parametrize("script", sorted(p.name for p in EXAMPLES.glob("[!_]*.py")))
def test_example_runs(script):
    result = subprocess.run([sys.executable, str(EXAMPLES / script), "3"], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip()
