"""A bar of customtkinter buttons addressed by name."""

import os

import customtkinter
from PIL import Image

from ._log import logger
from ._style import CaptionFont

# Colours for buttons drawn on a transparent background: a subtle hover and a
# caption readable in both light and dark mode.
TRANSPARENT_HOVER = ("gray75", "gray30")
TRANSPARENT_TEXT = ("gray10", "#DCE4EE")


def _check_size(size):
    try:
        width, height = size
    except (TypeError, ValueError):
        raise ValueError(f"size must be (width, height), got {size!r}") from None
    if not all(isinstance(v, int) and not isinstance(v, bool) and v > 0
               for v in (width, height)):
        raise ValueError(f"size must be two positive integers, got {size!r}")
    return width, height


def _read_image(path):
    """Fully decoded copy of the image at ``path``; None (and a warning) if unreadable."""
    try:
        with Image.open(path) as img:
            img.load()
            return img.copy()
    except Exception as exc:  # missing file, not an image, truncated data...
        logger.warning("button image %r not shown: %s: %s", os.fspath(path),
                       type(exc).__name__, exc)
        return None


class Set_Button:
    """Creates ``CTkButton``s and keeps the named ones addressable.

    The constructor creates no widget or font, so a bar may be made before any
    Tk root exists.  Adding a second button under an existing ``button_name``
    creates it normally and makes it the one the name addresses; the earlier
    button stays on screen but can no longer be reached by name.
    """

    def __init__(self):
        self._buttons = {}
        self._caption_font = CaptionFont()

    def add_button(self, master, button_name=None, text="", image_path=None,
                   size=(20, 20), button_event=None, width=140, fg_color=None,
                   row=0, column=0, padx=0, pady=0, sticky=""):
        """Create a button in ``master``, grid it and return it.

        ``fg_color=None`` takes the theme colour.  An ``image_path`` that
        cannot be read gives a button without image and a logged warning.
        """
        size = _check_size(size)
        options = {"text": text, "width": width, "command": button_event,
                   "font": self._caption_font()}
        if fg_color is not None:
            options["fg_color"] = fg_color
            if fg_color == "transparent":
                options["hover_color"] = TRANSPARENT_HOVER
                options["text_color"] = TRANSPARENT_TEXT
        if image_path not in (None, ""):
            img = _read_image(image_path)
            if img is not None:
                options["image"] = customtkinter.CTkImage(
                    light_image=img, dark_image=img.copy(), size=size)
        button = customtkinter.CTkButton(master, **options)
        button.grid(row=row, column=column, padx=padx, pady=pady, sticky=sticky)
        if button_name is not None:
            self._buttons[button_name] = button
        return button

    def button(self, button_name):
        """The ``CTkButton`` addressed by ``button_name``; KeyError if unknown."""
        try:
            return self._buttons[button_name]
        except KeyError:
            raise KeyError(button_name) from None

    def names(self):
        """Names of the addressable buttons, in the order first added."""
        return list(self._buttons)

    def cget(self, button_name, option):
        """Current value of ``option`` (e.g. "text") of a named button."""
        return self.button(button_name).cget(option)

    def configure(self, button_name, **kwargs):
        """Reconfigure a named button, e.g. ``configure(name, text="...")``."""
        self.button(button_name).configure(**kwargs)
