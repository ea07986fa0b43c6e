"""Sphinx configuration: Markdown pages (MyST), the API reference read from the type stub."""

import pathlib
import sys
import tomllib

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(pathlib.Path(__file__).parent / "_ext"))

with open(ROOT / "pyproject.toml", "rb") as f:
    release = tomllib.load(f)["project"]["version"]
project = "tarvik"
author = "The tarvik developers"
copyright = "2026, The tarvik developers"
version = release

extensions = ["myst_parser", "stub_api"]
myst_heading_anchors = 3
source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
exclude_patterns = ["_build"]
# Messages are quoted exactly as the module writes them: no typographic quotes.
smartquotes = False

html_theme = "alabaster"
html_static_path = ["_static"]
html_theme_options = {
    "description": "A compact n-dimensional float64 array with exact, documented results",
    "page_width": "1160px",
}
