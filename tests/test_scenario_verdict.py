"""The verdict on a scenario run under the sanitizers: its own failure fails
it whatever LeakSanitizer did at exit (whose exit status replaces the
scenario's); only the leak verdict may be inconclusive, and the one tolerated
leak is CPython's forgotten module state."""

import pytest

from scenario import run

# LeakSanitizer's part at exit: its report on stderr, then its exit status.
AT_EXIT = ("import atexit, os\n"
           "atexit.register(lambda: (os.write(2, os.environ['AT_EXIT'].encode()), os._exit(86)))\n")
TRACER_CRASH = "==1==LeakSanitizer has encountered a fatal error.\n"
REPORT = "==1==ERROR: LeakSanitizer: detected memory leaks\n\n%s\nSUMMARY: AddressSanitizer: leaks\n"
MODULE_STATE = ("Direct leak of 2 byte(s) in 2 object(s) allocated from:\n"
                "    #0 0x7f2c5fcb89cf in __interceptor_malloc asan_malloc_linux.cpp:69\n"
                "    #1 0x7f2c5efa8b84 in PyModule_ExecDef Objects/moduleobject.c:400\n")
OURS = ("Direct leak of 63 byte(s) in 1 object(s) allocated from:\n"
        "    #0 0x7fbc972b89cf in __interceptor_malloc asan_malloc_linux.cpp:69\n"
        "    #1 0x7fbc965d7992 in PyUnicode_New Objects/unicodeobject.c:1425\n"
        "    #2 0x7fbc965d7992 in gui::init_window(pybind11::module_&) window.cpp:274\n"
        "    #3 0x7fbc965d7992 in PyModule_ExecDef Objects/moduleobject.c:420\n")


@pytest.mark.parametrize("at_exit, body, passes", [
    (None, "pass", True),
    (TRACER_CRASH, "pass", True),                       # only the leak verdict is inconclusive
    (TRACER_CRASH, "assert 1 + 1 == 3", False),         # the scenario's own assertion failed
    (TRACER_CRASH, "raise SystemExit(3)", False),
    (TRACER_CRASH + REPORT % OURS, "pass", False),      # a leak report always fails
    (REPORT % MODULE_STATE, "pass", True),              # CPython's forgotten module state
    (REPORT % MODULE_STATE, "assert 1 + 1 == 3", False),
    (REPORT % (MODULE_STATE + "\n" + OURS), "pass", False),
    (REPORT % MODULE_STATE.replace("2 byte(s)", "64 byte(s)"), "pass", False),
])
def test_scenario_failure_survives_sanitizer_exit(at_exit, body, passes):
    code = (AT_EXIT if at_exit else "") + body
    result = run(code, prelude=False, env={"AT_EXIT": at_exit or ""})
    if passes:
        result.check()
    else:
        with pytest.raises(AssertionError, match="scenario failed"):
            result.check()
