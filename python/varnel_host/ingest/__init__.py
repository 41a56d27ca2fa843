"""Patent records in from the files users have.

Formats, told from each file's content: our own CSV and JSON Lines; Lens.org
export CSV (current layout, older layouts with `Publication Number` and no
Abstract, 2015-era Mac Roman files with CR line ends and DD/MM/YY dates);
Google Patents result CSV; USPTO full-text XML (v4.x grants and applications,
single or weekly bulk); Taiwan IPO gazette XML; EPO OPS / DOCDB exchange
documents, and EPO OPS claims responses, which fill the claims of records
already stored. Files, folders and .zip archives; see run.Importer for the run.
"""

from .base import FileInfo, Row, finish
from .detect import Source, detect, sources
from .run import FileOutcome, Importer, import_paths

__all__ = ["FileInfo", "FileOutcome", "Importer", "Row", "Source", "detect", "finish", "import_paths", "sources"]
