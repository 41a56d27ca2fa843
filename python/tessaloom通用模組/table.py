"""Rows of captioned text entries addressed by name."""

import customtkinter

from ._style import CaptionFont

# Wide enough for typing commands while a 4-character caption still fits in
# the 375 px the extension's card leaves for a row.
ENTRY_WIDTH = 280
CAPTION_GAP = 8
ROW_PADY = 4


class Set_Table:
    """A table of named rows gridded inside ``master``.

    Row ``i`` has its caption (``CTkLabel``) in column 0 and its ``CTkEntry``
    in column 1.  A row name may be added only once: adding it again raises
    ``ValueError``.  Reading or writing a name never added raises ``KeyError``.
    """

    def __init__(self, master, entry_width=ENTRY_WIDTH):
        self.master = master
        self.entry_width = entry_width
        self._rows = {}
        self._caption_font = CaptionFont()

    def add_entry_name(self, name):
        """Add a row captioned ``name`` and return its entry."""
        if name in self._rows:
            raise ValueError(f"row {name!r} already exists")
        row = len(self._rows)
        label = customtkinter.CTkLabel(self.master, text=str(name),
                                       font=self._caption_font())
        label.grid(row=row, column=0, padx=(0, CAPTION_GAP), pady=ROW_PADY, sticky="w")
        entry = customtkinter.CTkEntry(self.master, width=self.entry_width)
        entry.grid(row=row, column=1, pady=ROW_PADY, sticky="ew")
        self._rows[name] = (label, entry)
        return entry

    def names(self):
        """Row names in display order."""
        return list(self._rows)

    def entry(self, name):
        """The ``CTkEntry`` of row ``name``."""
        try:
            return self._rows[name][1]
        except KeyError:
            raise KeyError(name) from None

    def label(self, name):
        """The caption ``CTkLabel`` of row ``name``."""
        try:
            return self._rows[name][0]
        except KeyError:
            raise KeyError(name) from None

    def get(self, name):
        """Current text of row ``name`` ("" when empty)."""
        return self.entry(name).get()

    def set(self, name, text):
        """Replace the text of row ``name``."""
        entry = self.entry(name)
        entry.delete(0, "end")
        text = str(text)
        if text:
            entry.insert(0, text)

    def delete_all(self):
        """Clear the text of every row."""
        for _label, entry in self._rows.values():
            entry.delete(0, "end")


class Entry_Table(Set_Table):
    """A ``Set_Table`` whose rows are created from ``names`` at once."""

    def __init__(self, master, names=(), entry_width=ENTRY_WIDTH):
        super().__init__(master, entry_width=entry_width)
        for name in names:
            self.add_entry_name(name)
