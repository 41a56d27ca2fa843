"""Running one scenario case and handing its observations back, with nothing
else loaded: the part of the harness that scenarios of the bare import use."""

import json
import sys

from scenario import FINISHED_TAG, RESULT_TAG


def emit(value):
    sys.stdout.write(RESULT_TAG + json.dumps(value, ensure_ascii=False, default=repr) + "\n")
    sys.stdout.flush()


def main(cases):
    """Run cases[argv[1]](*json.loads(argv[2])), emit its result when not None,
    then write the finished line."""
    name = sys.argv[1]
    arguments = json.loads(sys.argv[2]) if len(sys.argv) > 2 else []
    result = cases[name](*arguments)
    if result is not None:
        emit(result)
    sys.stdout.write(FINISHED_TAG + "\n")
    sys.stdout.flush()
