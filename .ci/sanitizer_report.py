"""Reading LeakSanitizer's output at the end of a process run under the
sanitizers: whether its tracer gave up, and whether it reported nothing but
the module state CPython forgets. tests/scenario.py judges a scenario's run
with these."""

import re


def sanitizer_gave_up(stderr: str) -> bool:
    """LeakSanitizer's own tracer crashed while the process ended ("Tracer
    caught signal") and reported nothing. Such a run is tried again; if the
    tracer crashes every time, the leak check of that run is inconclusive.
    The exit status is then the sanitizer's, so the scenario's own outcome is
    read from its finished line; every sanitizer report still fails it."""
    return ("LeakSanitizer has encountered a fatal error" in stderr
            and "ERROR: AddressSanitizer" not in stderr
            and "ERROR: LeakSanitizer: detected memory leaks" not in stderr
            and "runtime error:" not in stderr)


_LEAK_BLOCK = re.compile(r"(Direct|Indirect) leak of (\d+) byte\(s\) in (\d+) object\(s\) "
                         r"allocated from:\n\s*#0 [^\n]*\n\s*#1 [^\n]* in (\S+)")


def only_module_state_leaks(stderr: str) -> bool:
    """LeakSanitizer reported nothing but the 1-byte module states that
    CPython 3.11 allocates in PyModule_ExecDef and forgets when a create slot
    hands back the already loaded module (a repeated import of GUI). That one
    allocation is tolerated here, by its exact shape, rather than suppressed
    by a rule that would match every allocation made while the module body
    runs."""
    if ("ERROR: LeakSanitizer: detected memory leaks" not in stderr
            or "ERROR: AddressSanitizer" in stderr or "runtime error:" in stderr):
        return False
    blocks = _LEAK_BLOCK.findall(stderr)
    return (len(blocks) == stderr.count(" leak of ") and len(blocks) > 0
            and all(kind == "Direct" and size == count and caller == "PyModule_ExecDef"
                    for kind, size, count, caller in blocks))
