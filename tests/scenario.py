"""Run one window scenario in a fresh interpreter.

customtkinter keeps every root alive for the life of the process, so each
scenario gets its own process, with the helpers of tests/harness.py.

`run(code)` returns a Result with the emitted values, stdout and stderr.
`run_case(module, case, *arguments)` does the same for a scenario written as a
function of a test module (tests/<module>.py), which runs it with `main`.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap
from dataclasses import dataclass, field

# LeakSanitizer's output is read by .ci/sanitizer_report.py; .ci is no package
# name, so its folder goes on the import path.
_CI = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), ".ci")
if _CI not in sys.path:
    sys.path.insert(0, _CI)
from sanitizer_report import only_module_state_leaks, sanitizer_gave_up  # noqa: E402

RESULT_TAG = "@@SCENARIO "
# Written when the scenario's code has run to its end: the evidence of its
# own success when LeakSanitizer's exit status (a tolerated leak report, or a
# crash of its tracer) replaces the scenario's.
FINISHED_TAG = "@@SCENARIO-FINISHED"
# Printed by a scenario right before it calls GUI(): what the window prints comes after it.
GUI_START_TAG = "@@GUI-START"
FINISHED = f"\nimport sys as _sys\n_sys.stdout.write({FINISHED_TAG!r} + '\\n')\n_sys.stdout.flush()\n"

# The string scenarios run with the helpers of the module scenarios.
PRELUDE = "import json, os, sys, time\nfrom harness import *\n"


@dataclass
class Result:
    returncode: int
    stdout: str
    stderr: str
    values: list = field(default_factory=list)
    finished: bool = False  # the scenario's code ran to its end (no exception, no exit)

    def check(self) -> "Result":
        """Fail unless the scenario exited cleanly without Tk errors."""
        leaks_tolerated = sanitizer_gave_up(self.stderr) or only_module_state_leaks(self.stderr)
        clean = self.returncode == 0 or (leaks_tolerated and self.finished)
        assert clean, f"scenario failed ({self.returncode}):\n{self.stderr}\n{self.stdout}"
        assert "invalid command name" not in self.stderr, self.stderr
        return self

    def printed(self) -> list[str]:
        """stdout lines written after the scenario's GUI_START_TAG line, emitted values left out."""
        lines = self.stdout.splitlines()
        assert GUI_START_TAG in lines, self.stdout + self.stderr
        return [line for line in lines[lines.index(GUI_START_TAG) + 1:] if not line.startswith(RESULT_TAG)]

    @property
    def value(self):
        assert len(self.values) == 1, self.values
        return self.values[0]


def emit(value):
    """In a scenario: hand `value` back to the test as JSON."""
    sys.stdout.write(RESULT_TAG + json.dumps(value, ensure_ascii=False, default=repr) + "\n")
    sys.stdout.flush()


def main(cases):
    """In a test module run with -m as a scenario: run cases[argv[1]](*json.loads(argv[2]))
    (cases: the module's globals), emit its result when not None, then write
    the finished line."""
    result = cases[sys.argv[1]](*json.loads(sys.argv[2]))
    if result is not None:
        emit(result)
    sys.stdout.write(FINISHED_TAG + "\n")
    sys.stdout.flush()


TESTS = os.path.dirname(os.path.abspath(__file__))


def run(code: str, *, timeout: float = 90, env: dict | None = None, stdin: str | None = None,
        cwd: str | None = None, prelude: bool = True) -> Result:
    source = (PRELUDE if prelude else "") + "\n" + textwrap.dedent(code) + FINISHED
    return _run_process(["-c", source], timeout, env, stdin, cwd)


def run_case(module: str, case: str, *arguments, timeout: float = 90, env: dict | None = None,
             stdin: str | None = None, cwd: str | None = None) -> Result:
    """Run the scenario function `case` of the test module `module`
    (tests/<module>.py) with the JSON-able `arguments` in a fresh interpreter,
    as `python -m <module> <case> <JSON arguments>`."""
    command = ["-m", module, case, json.dumps(arguments)]
    return _run_process(command, timeout, env, stdin, cwd)


def _run_process(arguments: list[str], timeout: float, env: dict | None, stdin: str | None,
                 cwd: str | None) -> Result:
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    # The test modules, the harness and this module, importable from any working folder.
    full_env["PYTHONPATH"] = os.pathsep.join(filter(None, [TESTS, full_env.get("PYTHONPATH")]))
    for _attempt in range(3):
        proc = subprocess.run([sys.executable, *arguments], input=stdin if stdin is not None else "",
                              capture_output=True, text=True, encoding="utf-8", timeout=timeout, env=full_env,
                              cwd=cwd)
        if not sanitizer_gave_up(proc.stderr):
            break
    values = [json.loads(line[len(RESULT_TAG):]) for line in proc.stdout.splitlines()
              if line.startswith(RESULT_TAG)]
    lines = proc.stdout.splitlines(keepends=True)
    stdout = "".join(line for line in lines if line.rstrip("\n") != FINISHED_TAG)
    return Result(proc.returncode, stdout, proc.stderr, values, finished=len(stdout) < len(proc.stdout))
