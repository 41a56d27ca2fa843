"""The bilingual term table that cross-language search asks for a word's
translations: the user's glossary, the pairs mined from the collection's own
bilingual records, and CC-CEDICT (table.py tells how they combine)."""

from .table import DICTIONARY, GLOSSARY, MINED, TermTable, Translation, load

__all__ = ["DICTIONARY", "GLOSSARY", "MINED", "TermTable", "Translation", "load"]
