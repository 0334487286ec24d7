# Sphinx: the three guides (Markdown) and the API reference, built by
# scripts/docs.sh into build/docs/html with the module of the build tree.
import os
import re

root = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
with open(os.path.join(root, "python", "Velmoratrix", "__init__.py")) as f:
    release = re.search(r'^__version__ = "([^"]+)"', f.read(), re.M).group(1)

project = "Velmoratrix"
author = "The Velmoratrix developers"
copyright = "2026, " + author
version = release

extensions = ["sphinx.ext.autodoc", "myst_parser"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build"]
root_doc = "index"
# The guides' fences name a language and, for numpy and pandas examples, what they need.
myst_heading_anchors = 3
suppress_warnings = ["myst.header"]
autodoc_member_order = "bysource"
html_theme = "alabaster"
html_static_path = []
