"""The examples of docs/python.md run as they stand."""

import re
from pathlib import Path

import pytest

DOC = Path(__file__).resolve().parents[2] / "docs" / "python.md"
EXAMPLES = re.findall(r"```python\n(.*?)```", DOC.read_text(), re.S)


@pytest.mark.parametrize("source", EXAMPLES, ids=[f"example{i}" for i in range(len(EXAMPLES))])
def test_example_runs(make_bus, tmp_path, monkeypatch, source):
    make_bus(cameras=2)  # the examples of several cameras take two
    monkeypatch.chdir(tmp_path)
    exec(compile(source, str(DOC), "exec"), {})
