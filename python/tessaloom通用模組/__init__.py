"""Shared widget helpers used by the ``GUI`` extension.

The extension builds its window from a handful of small customtkinter
helpers reached through two factory objects:

* ``Customtkinter_Model()`` exposes the widget helpers ``Set_Button``
  (a button bar addressed by name), ``Set_Table`` (rows of captioned text
  entries addressed by name), ``Entry_Table`` (a ``Set_Table`` filled from a
  list of names) and ``CTkCalendar`` (a small month view).
* ``Try_Except_Model()`` exposes ``try_except_log``, which wraps a button
  command or timer callback so an exception is logged instead of reaching Tk.

Everything logs through the logger named ``"tessaloom通用模組"``.
"""

from ._log import LOGGER_NAME, logger, try_except_log
from .buttons import Set_Button
from .month_view import CTkCalendar
from .table import Entry_Table, Set_Table

__all__ = [
    "LOGGER_NAME",
    "logger",
    "try_except_log",
    "Customtkinter_Model",
    "Try_Except_Model",
    "Set_Button",
    "Set_Table",
    "Entry_Table",
    "CTkCalendar",
]


class Customtkinter_Model:
    """Namespace object handing out the widget helper classes."""

    Entry_Table = Entry_Table
    Set_Table = Set_Table
    Set_Button = Set_Button
    CTkCalendar = CTkCalendar


class Try_Except_Model:
    """Namespace object handing out the callback guard."""

    try_except_log = staticmethod(try_except_log)
