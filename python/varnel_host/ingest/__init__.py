"""Patent records in from the files users have: files, folders and .zip
archives, each file's format told from its content (formats.FORMATS lists
the formats); see run.Importer for the run."""

from .base import FileInfo, Row, finish
from .detect import Source, detect, sources
from .formats import FORMATS, Format
from .run import FileOutcome, Importer, import_paths

__all__ = [
    "FORMATS", "FileInfo", "FileOutcome", "Format", "Importer", "Row", "Source", "detect", "finish", "import_paths", "sources",
]
