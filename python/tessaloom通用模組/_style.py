"""The look the helpers share: the caption font."""

import customtkinter

CAPTION_FONT = {"family": "Microsoft JhengHei", "size": 15, "weight": "bold"}


class CaptionFont:
    """The caption font, made on the first call and the same object after.

    CTkFont needs an existing Tk root, so a helper may hold one of these before
    any root exists and call it only when it builds a widget.
    """

    def __init__(self):
        self._font = None

    def __call__(self):
        if self._font is None:
            self._font = customtkinter.CTkFont(**CAPTION_FONT)
        return self._font
