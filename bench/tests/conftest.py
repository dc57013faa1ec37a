"""The benchmark's helpers are plain modules in bench/; make them importable."""
import sys
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parents[1]
if str(BENCH) not in sys.path:
    sys.path.insert(0, str(BENCH))

import tree as trees  # noqa: E402


@pytest.fixture(scope="session")
def small_tree(tmp_path_factory):
    """A written tree of 200 events (two groups), shared by the read-only tests."""
    return trees.build(tmp_path_factory.mktemp("tree") / "root", 200)


@pytest.fixture
def standin_root(monkeypatch):
    """Point the stand-in service at a tree: standin_root(tree)."""
    return lambda tree: monkeypatch.setenv("ZORNA_EVENTS_ROOT", str(tree.root))
