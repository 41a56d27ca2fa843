"""The host package's import graph runs one way: from the program and the
worker down to the stores, the query layer and the records, with no cycle
and no import inside a function but the few listed for start-up time."""

from __future__ import annotations

import ast
import functools
import subprocess
import sys
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parent.parent / "python" / "varnel_host"


def _module(path: Path) -> str:
    parts = path.relative_to(PACKAGE).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts) or "__init__"


@functools.lru_cache(maxsize=1)
def _graph() -> tuple[dict[str, set[str]], list[str]]:
    """module -> the package's modules it imports, and the imports made inside functions."""
    modules = {_module(path): path for path in PACKAGE.rglob("*.py")}
    graph: dict[str, set[str]] = {name: set() for name in modules}
    hidden = []
    for name, path in modules.items():
        tree = ast.parse(path.read_text(encoding="utf-8"))
        top_level = {id(node) for node in tree.body}
        package = name if path.name == "__init__.py" else name.rpartition(".")[0]
        for node in ast.walk(tree):
            if not isinstance(node, ast.ImportFrom) or not node.level:
                continue
            base = package.split(".") if package else []
            base = base[: len(base) - node.level + 1] + (node.module.split(".") if node.module else [])
            for alias in node.names:
                target = ".".join([*base, alias.name])
                found = target if target in modules else ".".join(base) or "__init__"
                if found != name and found in modules:  # compiled modules (_segment) are no nodes
                    graph[name].add(found)
                    if id(node) not in top_level:
                        hidden.append(f"{name} -> {found}")
    return graph, hidden


def _cycle(graph: dict[str, set[str]]) -> list[str]:
    """One cycle of the graph as a path, or []."""
    state: dict[str, int] = {}
    path: list[str] = []

    def visit(node: str) -> list[str]:
        state[node] = 1
        path.append(node)
        for target in sorted(graph[node]):
            if state.get(target) == 1:
                return path[path.index(target):] + [target]
            if target not in state and (found := visit(target)):
                return found
        state[node] = 2
        path.pop()
        return []

    for node in sorted(graph):
        if node not in state and (found := visit(node)):
            return found
    return []


# Imports made inside a function, each to keep a process from loading what it
# may never use (the window's process never writes a report nor talks to a
# server); the graph above counts them, so none of them can hide a cycle.
LAZY = {
    "__main__ -> helpserver", "__main__ -> ingest", "__main__ -> ingest.formats", "__main__ -> ingest.run",
    "__main__ -> dbcheck", "dbcheck -> pg_store",
    "loading -> ingest.tables", "stores -> pg_store",
    "worker -> report", "worker -> report_data", "worker -> request",
    "terms.table -> terms.dictionary",  # CC-CEDICT: read by the worker and an import's mining, never the window
    "translate -> terms",  # the term table, loaded only by a command holding TR(…) or a SIM= crossing languages
}


def test_no_cycle_and_no_import_in_a_function_but_the_listed_ones():
    graph, hidden = _graph()
    assert _cycle(graph) == []
    assert set(hidden) - LAZY == set()


# The modules of each store: neither imports the other's ("store" also names
# stores, which picks one of them); the parts never import their facade.
PG_MODULES = ("pg_store", "pg_connection", "pg_schema", "pg_writer", "pg_result", "pg_query", "pg_compact")
SQLITE_MODULES = ("store", "sqlite_schema", "sqlite_query", "sqlite_writer", "sqlite_facets", "sqlite_result")

# (importer prefix, imported prefix): never allowed.
FORBIDDEN = [
    *((pg, sqlite) for pg in PG_MODULES for sqlite in ("store", "sqlite_")),
    *((sqlite, "pg_") for sqlite in SQLITE_MODULES),
    *((part, "pg_store") for part in PG_MODULES[1:]),
    *((layer, low) for layer in ("query", "query_plan", "citations", "similar", "marking", "segment", "contract", "records")
      for low in ("store", "stores", "pg_store", "sqlite_", "pg_query", "worker", "report", "ingest")),
    ("ingest", "store"), ("ingest", "pg_store"), ("ingest", "stores"),
    # loading writes through the contract's write_batch(), knowing no store
    *(("loading", low) for low in ("store", "stores", "pg_", "sqlite_", "pipeline", "worker", "report")),
    ("ingest.formats", "ingest.run"), ("ingest.formats", "ingest.completing"),  # the registry knows readers, not the run
    ("report", "store"), ("report", "similar"), ("report", "worker"), ("request", "report"),
    # the report is written from plain values (report_data.ReportData), never from a store's result
    ("report", "contract"), ("report", "stores"), ("report", "pg_"), ("report", "sqlite_"),
    ("report_data", "report"), ("request", "report_data"),
    # one search pipeline over both stores: it knows no store, the engines' parts never call it
    *(("pipeline", low) for low in ("store", "stores", "pg_", "sqlite_", "worker", "report", "ingest")),
    *((part, "pipeline") for part in (*PG_MODULES[1:], *SQLITE_MODULES[1:])),
    *((layer, "pipeline") for layer in ("query", "query_plan", "citations", "expand", "similar", "records")),
    # the term table knows a store only by its term_pairs() and bilingual_records()
    *(("terms", low) for low in ("store", "stores", "pg_", "sqlite_", "pipeline", "worker", "report", "ingest", "loading")),
]

# The steps of a search the pipeline alone takes, which no store module names.
PIPELINE_STEPS = {
    "expand": ("expand",),
    "query": ("parse",),
    "translate": ("translate",),
    "query_plan": ("code_terms", "family_of", "prior_dates", "priors", "proximities", "with_ids"),
    "citations": ("chains", "excluded", "follow"),
}


@pytest.mark.parametrize("store", ["store", "pg_store"])
def test_only_the_pipeline_takes_the_steps_of_a_search(store):
    tree = ast.parse((PACKAGE / f"{store}.py").read_text(encoding="utf-8"))
    taken = sorted(f"{node.module}.{alias.name}" for node in ast.walk(tree) if isinstance(node, ast.ImportFrom)
                   for alias in node.names if alias.name in PIPELINE_STEPS.get(node.module or "", ()))
    assert taken == []
    assert "pipeline" in _graph()[0][store]


@pytest.mark.parametrize("importer, imported", FORBIDDEN)
def test_layers_never_import_upwards_or_across_stores(importer, imported):
    graph, _ = _graph()
    wrong = sorted(f"{name} -> {target}" for name, targets in graph.items() if name == importer or name.startswith(importer + ".")
                   for target in targets if target.startswith(imported) and target != name)
    assert wrong == []


# Each store's side of one search (pipeline.SearchBackend), made by its facade.
BACKENDS = {"store": "_SqliteSearch", "pg_store": "_PgSearch"}


@pytest.mark.parametrize("store, backend", BACKENDS.items())
def test_only_the_pipeline_calls_a_search_backend(store, backend):
    """The facade makes its backend only to hand it to pipeline.search; no
    other module imports the pipeline or names a backend."""
    assert sorted(name for name, targets in _graph()[0].items() if "pipeline" in targets) == sorted(BACKENDS)
    calls = [node for node in ast.walk(ast.parse((PACKAGE / f"{store}.py").read_text(encoding="utf-8")))
             if isinstance(node, ast.Call)]
    made = [node for node in calls if isinstance(node.func, ast.Name) and node.func.id == backend]
    handed = [node.args[0] for node in calls if ast.unparse(node.func) == "pipeline.search" and node.args]
    assert made and made == handed
    elsewhere = sorted(path.name for path in PACKAGE.rglob("*.py")
                       if path.stem != store and backend in path.read_text(encoding="utf-8"))
    assert elsewhere == []


def test_the_windows_process_never_loads_the_dictionary():
    graph, _ = _graph()
    assert {f"{name} -> terms.dictionary" for name, targets in graph.items() if "terms.dictionary" in targets} <= LAZY
    # what the window's process imports, with the term table and the loading that mines
    code = ("import sys, varnel_host.__main__, varnel_host.terms, varnel_host.loading; "
            "print(sorted(m for m in sys.modules if 'cccedict' in m or m.endswith('terms.dictionary')))")
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout.strip() == "[]"
