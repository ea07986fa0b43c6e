"""The documentation's examples run: each page's ```python blocks, in order, as one script in a fresh
interpreter (as a reader would paste them into a file). A page that starts worker processes runs
under the default start method and again under "spawn", which re-imports the script in every worker."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

DOCS = pathlib.Path(__file__).resolve().parents[2] / "docs"
BLOCK = re.compile(r"^```python\n(.*?)^```$", re.MULTILINE | re.DOTALL)
PAGES = sorted(page for page in DOCS.glob("*.md") if BLOCK.search(page.read_text()))
RUNS = [(page, method) for page in PAGES
        for method in (["default", "spawn"] if "multiprocessing" in page.read_text() else ["default"])]


def test_the_guide_has_examples():
    assert "guide.md" in [page.name for page in PAGES]


@pytest.mark.parametrize(("page", "start_method"), RUNS, ids=lambda value: getattr(value, "stem", value))
def test_page_examples_run(page, start_method, tmp_path):
    script = "\n".join(BLOCK.findall(page.read_text()))
    if start_method != "default":
        # Only in the parent: a spawned worker imports the script under another name.
        script = f"import multiprocessing\nif __name__ == '__main__':\n    multiprocessing.set_start_method({start_method!r})\n" + script
    path = tmp_path / f"{page.stem}.py"
    path.write_text(script)
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    result = subprocess.run([sys.executable, str(path)], cwd=tmp_path, capture_output=True, text=True, timeout=120,
                            env=environment)
    assert result.returncode == 0, result.stdout + result.stderr
