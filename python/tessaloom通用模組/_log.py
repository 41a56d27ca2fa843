"""Logger of the package and the guard for Tk callbacks."""

import functools
import logging

LOGGER_NAME = "tessaloom通用模組"
logger = logging.getLogger(LOGGER_NAME)


def describe_callable(func):
    """Readable name of a callable, falling back to its repr."""
    module = getattr(func, "__module__", None)
    name = getattr(func, "__qualname__", None) or getattr(func, "__name__", None)
    if not isinstance(name, str):
        return repr(func)
    return f"{module}.{name}" if isinstance(module, str) else name


def try_except_log(handler):
    """Wrap ``handler`` (called without arguments) for use as a Tk callback.

    The returned function runs ``handler`` and always returns None.  When the
    handler raises an ``Exception`` the traceback is logged and swallowed, so
    the window keeps running and Tk never sees the error.  ``BaseException``s
    that are not ``Exception`` (KeyboardInterrupt, SystemExit) propagate.
    """
    if not callable(handler):
        raise TypeError(f"handler must be callable, got {handler!r}")

    def guarded():
        try:
            handler()
        except Exception:
            logger.exception("callback %s raised", describe_callable(handler))
        return None

    # update_wrapper skips attributes the handler lacks (C callables often
    # have no __name__/__doc__), so builtins and partials are fine here.
    functools.update_wrapper(guarded, handler)
    return guarded
