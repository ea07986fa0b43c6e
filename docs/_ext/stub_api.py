"""The API reference, read from the type stub: the stub carries the signatures and the docstrings,
while the module's own docstrings are text signatures only.

    .. stub-api:: ../src/python/tarvik-stubs/__init__.pyi

renders the stub's public classes with their methods (``__new__`` gives the class signature), then
its private helper classes, which appear in those signatures.
"""

import ast
import pathlib

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.util.docutils import SphinxDirective

MODULE = "tarvik"


def parameters(function):
    """"(data: ..., shape: ...)", without self or cls."""
    listed = [f"{a.arg}: {ast.unparse(a.annotation)}" if a.annotation else a.arg for a in function.args.args[1:]]
    return f"({', '.join(listed)})"


def docstring(node, indent):
    return [indent + line if line else "" for line in (ast.get_docstring(node) or "").splitlines()] + [""]


def class_lines(node):
    functions = [item for item in node.body if isinstance(item, ast.FunctionDef)]
    constructor = next((f for f in functions if f.name == "__new__"), None)
    lines = [f".. py:class:: {node.name}{parameters(constructor) if constructor else ''}",
             f"   :module: {MODULE}", "", *docstring(node, "   ")]
    if constructor:
        lines += docstring(constructor, "   ")
    for function in functions:
        if not function.name.startswith("_"):
            returns = f" -> {ast.unparse(function.returns)}" if function.returns else ""
            lines += [f"   .. py:method:: {function.name}{parameters(function)}{returns}", "",
                      *docstring(function, "      ")]
    return lines


class StubApi(SphinxDirective):
    required_arguments = 1

    def run(self):
        path = (pathlib.Path(self.env.srcdir) / self.arguments[0]).resolve()
        self.env.note_dependency(str(path))
        tree = ast.parse(path.read_text(), filename=str(path))
        classes = sorted((n for n in tree.body if isinstance(n, ast.ClassDef)), key=lambda c: c.name.startswith("_"))
        lines = [line for node in classes for line in class_lines(node)]
        holder = nodes.container()
        self.state.nested_parse(StringList(lines, source=str(path)), self.content_offset, holder)
        return holder.children


def setup(app):
    app.add_directive("stub-api", StubApi)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
