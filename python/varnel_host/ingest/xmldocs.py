"""Readers of patent XML: USPTO full text (v4.x grants and applications, one
document or a weekly bulk file of thousands), Taiwan IPO gazette and EPO OPS /
DOCDB exchange documents, and the claims of EPO OPS full-text documents
(ClaimsOnly: they fill the claims of records the collection holds).

A title or abstract given in several languages (Taiwan IPO's Chinese and
English title, EPO's de/en/fr) keeps them all: the record's main language
(Chinese, else English, else the first given) in title and abstract, the
others in title_alt and abstract_alt (_in_languages).

Memory stays bounded by DOCUMENT_LIMIT, whatever the size of a file or of
one document in it; a larger document is reported and skipped, the rest of
the file read. A USPTO bulk file is cut at each "<?xml" that starts a line
and the pieces are parsed one by one; Taiwan IPO and EPO files are fed to
lxml's pull parser a piece at a time, each record dropped once read.
No DTD is loaded, no entity expanded, nothing fetched from the network.
"""

from __future__ import annotations

import re
from collections.abc import Callable, Iterable, Iterator
from typing import BinaryIO

from lxml import etree

from .. import pn
from ..records import PatentRecord
from .base import ClaimsOnly, FileInfo, Row
from .text import (
    clean, cpc_symbol, earliest_date, ipc_symbol, iso_date, joined, numbered_claims, publication_numbers, roc_date,
    symbol_of_parts,
)

BLOCK = 8 * 1024 * 1024
FEED = 1024 * 1024  # bytes given to a streaming parser at a time
DOCUMENT_LIMIT = 256 * 1024 * 1024
_PARSER_OPTIONS = dict(resolve_entities=False, no_network=True, load_dtd=False, remove_comments=True, remove_pis=True)
_PARSER = etree.XMLParser(**_PARSER_OPTIONS)
USPTO_ROOTS = ("us-patent-grant", "us-patent-application")
_BOUNDARY = b"\n<?xml"  # starts every document of a bulk file but the first
_TAIL = len(_BOUNDARY) - 1  # bytes at a block's end that may hold the start of a boundary


_DECLARED = re.compile(rb"""<\?xml[^>]*?encoding=["']([\w.:-]+)""")


def _declared_encoding(binary: BinaryIO) -> str:
    """The encoding named in the file's XML declaration (UTF-8 when none)."""
    head = binary.read(512)
    binary.seek(0)
    if head.startswith((b"\xff\xfe", b"\xfe\xff")):
        return "UTF-16（含 BOM）"
    found = _DECLARED.search(head)
    return (found[1].decode("ascii").upper() if found else "UTF-8") + "（XML 宣告）"


def _text(element) -> str:
    return clean("".join(element.itertext())) if element is not None else ""


def _paragraphs(element) -> str:
    """Text of an element, one line per paragraph."""
    if element is None:
        return ""
    # Taiwan IPO nests paragraphs: only the innermost ones hold text.
    paragraphs = [p for p in element.iter("p") if p.find(".//p") is None] or [element]
    return "\n".join(text for text in (_text(p) for p in paragraphs) if text)


def _claims(container) -> str:
    if container is None:
        return ""
    return numbered_claims([(claim.get("num", ""), "".join(claim.itertext())) for claim in container.iter("claim")])


def _parts(document_id, country: str = "") -> tuple[str, str, str]:
    """(country, number, kind) of a document-id; no country when the number
    already starts with it (epodoc numbers, "TW…")."""
    number = clean(document_id.findtext("doc-number"))
    country = clean(document_id.findtext("country")) or country
    if not number or number.upper().startswith(country):
        country = ""
    return country, number, clean(document_id.findtext("kind"))


def _number(document_id, country: str = "") -> tuple[str, str]:
    """(country + number, kind) of a document-id, for publication_numbers."""
    country, number, kind = _parts(document_id, country)
    return (country + number, kind) if number else ("", "")


def _spaced(parts) -> str:
    """A priority number as Lens writes one: "US 201715458258 A"."""
    return " ".join(part for part in parts if part)


def _priority(claims, reader=iso_date) -> tuple[str, str]:
    """Priority numbers and the earliest priority date of priority-claim
    elements that hold country, doc-number and date themselves (USPTO,
    Taiwan IPO)."""
    claims = list(claims)
    return joined(_spaced(_parts(c)) for c in claims), earliest_date((c.findtext("date") for c in claims), reader)


def _date(reader, value: str, caption: str) -> str:
    try:
        return reader(value or "")
    except ValueError:
        raise ValueError(f"{caption}「{value}」不是有效日期") from None


# --- USPTO ------------------------------------------------------------------------------


def _documents(binary: BinaryIO) -> Iterator[tuple[int, bytes | None]]:
    """(first line, bytes) of each XML document in a file of concatenated
    documents; bytes None for a document over DOCUMENT_LIMIT, skipped keeping
    only the few bytes a boundary split between two blocks needs. Each block
    is searched once, so memory stays within DOCUMENT_LIMIT + BLOCK and time
    grows with the file, whatever one document's size."""
    buffer, line, skipping, searched = bytearray(), 1, False, 0
    while True:
        block = binary.read(BLOCK)
        buffer += block
        start = 0
        while (boundary := buffer.find(_BOUNDARY, searched)) >= 0:
            if not skipping:
                yield line, _document(buffer, start, boundary + 1)
            skipping = False
            line += buffer.count(b"\n", start, boundary + 1)
            start = searched = boundary + 1
        if not block:
            if not skipping and buffer[start:].strip():
                yield line, _document(buffer, start, len(buffer))
            return
        # Longer than the limit for sure: of the last _TAIL bytes only the first may be the document's.
        if not skipping and len(buffer) - start - _TAIL >= DOCUMENT_LIMIT:
            yield line, None
            skipping = True
        end = max(len(buffer) - _TAIL, start) if skipping else start
        line += buffer.count(b"\n", start, end)
        del buffer[:end]
        searched = max(len(buffer) - _TAIL, 0)


def _document(buffer: bytearray, start: int, end: int) -> bytes | None:
    if end - start > DOCUMENT_LIMIT:
        return None
    with memoryview(buffer) as view:
        return bytes(view[start:end])


_DESCRIPTION = re.compile(rb"<description[\s>]")


def _without_description(data: bytes) -> bytes:
    """The document without its description, most of its bytes and not
    imported: cut before parsing, it costs nothing to parse."""
    found = _DESCRIPTION.search(data)
    end = data.rfind(b"</description>")
    if found is None or end < found.start():
        return data
    return data[: found.start()] + data[end + len(b"</description>") :]


def _name(addressbook) -> str:
    if addressbook is None:
        return ""
    organisation = addressbook.findtext("orgname") or addressbook.findtext("name")
    if organisation and organisation.strip():
        return clean(organisation)
    return clean(f"{addressbook.findtext('first-name') or ''} {addressbook.findtext('last-name') or ''}")


def uspto_record(root) -> PatentRecord:
    biblio = root.find("us-bibliographic-data-grant")
    if biblio is None:
        biblio = root.find("us-bibliographic-data-application")
    if biblio is None:
        raise ValueError("缺少書目資料（us-bibliographic-data-*）")
    publication = biblio.find("publication-reference/document-id")
    if publication is None:
        raise ValueError("缺少公開公告號（publication-reference）")
    number = (publication.findtext("country") or "US") + (publication.findtext("doc-number") or "")
    application = biblio.find("application-reference/document-id")
    applicants, inventors = [], []
    for party in biblio.iterfind("us-parties/us-applicants/us-applicant"):
        applicants.append(_name(party.find("addressbook")))
        if party.get("app-type") == "applicant-inventor":
            inventors.append(_name(party.find("addressbook")))
    for party in biblio.iterfind("parties/applicants/applicant"):
        applicants.append(_name(party.find("addressbook")))
        if party.get("app-type") == "applicant-inventor":
            inventors.append(_name(party.find("addressbook")))
    for path in ("us-parties/inventors/inventor", "parties/inventors/inventor"):
        inventors.extend(_name(party.find("addressbook")) for party in biblio.iterfind(path))
    for assignee in biblio.iterfind("assignees/assignee"):
        applicants.append(_name(assignee.find("addressbook")) or _name(assignee))
    parts = ("section", "class", "subclass", "main-group")
    ipc = [
        ipc_symbol("".join(c.findtext(p, "") for p in parts) + "/" + c.findtext("subgroup", ""))
        for c in biblio.iterfind("classifications-ipcr/classification-ipcr")
    ]
    for path in ("classification-ipc/main-classification", "classification-ipc/further-classification"):
        ipc.extend(ipc_symbol(e.text or "") for e in biblio.iterfind(path))
    cpc = (symbol_of_parts(c) for c in biblio.iterfind("classifications-cpc/*/classification-cpc"))
    cited = (
        _number(d)
        for path in ("us-references-cited/us-citation", "references-cited/citation")
        for d in biblio.iterfind(f"{path}/patcit/document-id")
    )
    # The same application's earlier publication (a grant's pre-grant publication).
    related = (_number(d) for d in biblio.iterfind("us-related-documents/related-publication/document-id"))
    priority, prd = _priority(biblio.iterfind("priority-claims/priority-claim"))
    kind = clean(publication.findtext("kind"))
    return PatentRecord(
        pn=pn.canonical(number, kind),
        title=_text(biblio.find("invention-title")),
        abstract=_paragraphs(root.find("abstract")),
        claims=_claims(root.find("claims")),
        applicants=joined(applicants),
        inventors=joined(inventors),
        ipc=joined(ipc),
        an=clean(application.findtext("doc-number")) if application is not None else "",
        ad=_date(iso_date, application.findtext("date", "") if application is not None else "", "申請日"),
        pd=_date(iso_date, publication.findtext("date", ""), "公開公告日"),
        priority=priority,
        prd=prd,
        cpc=joined(cpc),
        members=publication_numbers(related),
        cites=publication_numbers(cited),
        doctype=kind,
    )


def uspto_xml(binary: BinaryIO, info: FileInfo) -> Iterator[Row]:
    info.format = "USPTO 全文 XML"
    info.encoding = _declared_encoding(binary)
    documents = other = 0
    for line, data in _documents(binary):
        if data is None:
            yield line, f"這份文件超過 {DOCUMENT_LIMIT // (1024 * 1024)} MiB，未讀取也未匯入"
            continue
        try:
            root = etree.fromstring(_without_description(data), _PARSER)
        except etree.XMLSyntaxError as error:
            yield line, f"XML 格式錯誤：{error}"
            continue
        if root.tag not in USPTO_ROOTS:
            other += 1
            continue
        documents += 1
        try:
            yield line, uspto_record(root)
        except ValueError as error:
            yield line, str(error)
    if documents > 1:
        info.format = f"USPTO 全文 XML（合併檔，{documents} 份文件）"
    if other:
        info.notes.append(f"略過 {other} 份非專利公報文件（如序列表）")


# --- records inside one tree: Taiwan IPO and EPO ---------------------------------------------


def _pruned(node, keep=None) -> None:
    """Drop what the parser has finished below `node`, down to `keep`: at
    each level of the chain of last children, every child but the last.
    Elements still open (the parser adds to them) are always on that chain,
    and so are the text nodes it may still be joining, so the parser can go
    on after a feed."""
    while node is not None and node is not keep:
        if len(node) > 1:
            del node[:-1]
        node = node[-1] if len(node) else None


def _label(element) -> str:
    """The publication number of a partly read record, for a message: the
    attributes of an EPO exchange-document, else its first publication
    document-id; "" when none was read yet."""
    number = (element.get("country") or "") + (element.get("doc-number") or "")
    if number:
        return number + (element.get("kind") or "")
    document_id = element.find(".//{*}publication-reference/{*}document-id")
    if document_id is None:
        return ""
    country, number, kind = (clean(document_id.findtext(f"{{*}}{part}")) for part in ("country", "doc-number", "kind"))
    return country + number + kind


def _records(binary: BinaryIO, makers: dict, containers: tuple[str, ...] = (), namespaced: bool = False) -> Iterator[Row]:
    """(line, record or problem) for each record element of a streamed file:
    `makers` maps each record tag to what makes its record, `containers`
    names the elements that may hold records. The file is fed FEED bytes at
    a time; between feeds whatever the parser has finished outside a record
    is dropped, and so is a record once made. A record still open DOCUMENT_LIMIT
    bytes after its start is reported and skipped: from then on its finished
    parts are dropped as they come, so memory stays within the limit and a
    feed's worth of tree, whatever the size of one record or of the file."""
    names = [("{*}" + tag) if namespaced else tag for tag in (*makers, *containers)]
    parser = etree.XMLPullParser(events=("start", "end"), tag=names, **_PARSER_OPTIONS)
    root = record = None
    line = started = 1
    skipping = False
    fed = 0
    while True:
        piece = binary.read(FEED)
        try:
            if piece:
                parser.feed(piece)
            else:
                parser.close()
            events = list(parser.read_events())
        except etree.XMLSyntaxError as error:
            yield error.lineno or line, f"XML 格式錯誤：{error.msg}；這一行之後的內容無法讀取"
            return
        fed += len(piece)
        for event, element in events:
            tag = etree.QName(element).localname if namespaced else element.tag
            if root is None:
                root = element.getroottree().getroot()
            if tag not in makers or (record is not None and element is not record):
                continue  # a container, or a record's element of the same name inside it
            line = element.sourceline or line
            if event == "start":
                record, started, skipping = element, fed, False
                continue
            if not skipping:
                if namespaced:
                    for node in element.iter():
                        if isinstance(node.tag, str):
                            node.tag = etree.QName(node).localname
                try:
                    yield line, makers[tag](element)
                except ValueError as error:
                    yield line, str(error)
            element.clear()
            while element.getprevious() is not None:
                del element.getparent()[0]
            record = None
        if record is not None and not skipping and fed - started > DOCUMENT_LIMIT:
            skipping = True
            label = _label(record)
            yield record.sourceline or line, (f"這份文件{f'（{label}）' if label else ''}超過 "
                                              f"{DOCUMENT_LIMIT // (1024 * 1024)} MiB，未讀取也未匯入")
        if root is not None:
            _pruned(root, None if skipping else record)
        if not piece:
            return


def _tipo_name(addressbook) -> str:
    if addressbook is None:
        return ""
    chinese = addressbook.find("chinese-name")
    if chinese is not None:
        name = clean((chinese.findtext("last-name") or "") + (chinese.findtext("first-name") or ""))
        if name:
            return name
    english = addressbook.find("english-name")
    if english is None:
        return ""
    parts = (english.findtext(p) or "" for p in ("first-name", "middle-name", "last-name"))
    return clean(" ".join(parts))


def tipo_record(root) -> PatentRecord:
    biblio = root.find("tw-bibliographic-data-grant")
    if biblio is None:
        raise ValueError("缺少書目資料（tw-bibliographic-data-grant）")
    publication = biblio.find("publication-reference/document-id")
    if publication is None or not (publication.findtext("doc-number") or "").strip():
        raise ValueError("缺少公告號（publication-reference）")
    kind = (biblio.findtext("kindcode") or publication.findtext("kind") or "").strip()
    application = biblio.find("application-reference")
    design = application is not None and application.get("appl-type") == "design"
    # a title in each language (<chinese-title>, <english-title>), or one
    title, title_alt = _in_languages(biblio.findall("invention-title/*") or biblio.findall("invention-title"), _text)
    abstracts = root.findall("abstract")
    # an abstract in each language, as the title gives them (<chinese-abstract>, <english-abstract>), or one
    languages = [child for element in abstracts for child in element if _language(child)]
    abstract, abstract_alt = _in_languages(languages or abstracts, _paragraphs, ABSTRACTS_APART)
    if not abstract and design:  # a design's description is its only prose
        abstract = _paragraphs(root.find("drawings/drawing-description"))
    ipc = [ipc_symbol(e.text or "") for e in biblio.iterfind("classification-ipc/*")]
    number = publication.findtext("doc-number").strip()
    document = application.find("document-id") if application is not None else None
    priority, prd = _priority(biblio.iterfind("priority-claims/priority-claim"), roc_date)
    # The same application's earlier publication: Taiwan publishes applications as kind A.
    published = [_number(d, "TW") for d in biblio.iterfind("application-publication-reference/document-id")]
    return PatentRecord(
        pn=pn.canonical(("" if number[:2] == "TW" else "TW") + number, kind),
        title=title,
        abstract=abstract,
        claims=_claims(root.find("claims")),
        applicants=joined(_tipo_name(a.find("addressbook")) for a in biblio.iterfind("parties/applicants/applicant")),
        inventors=joined(_tipo_name(a.find("addressbook")) for a in biblio.iterfind("parties/inventors/inventor")),
        ipc=joined(ipc),
        an=clean(document.findtext("doc-number")) if document is not None else "",
        ad=_date(roc_date, document.findtext("date", "") if document is not None else "", "申請日"),
        pd=_date(roc_date, publication.findtext("date", ""), "公告日"),
        priority=priority,
        prd=prd,
        members=publication_numbers((n, k or "A") for n, k in published),
        cites=publication_numbers(_number(ref) for ref in biblio.iterfind("refs/ref")),
        doctype=kind,
        title_alt=title_alt,
        abstract_alt=abstract_alt,
    )


def tipo_xml(binary: BinaryIO, info: FileInfo) -> Iterator[Row]:
    info.format = "智慧財產局公報 XML"
    info.encoding = _declared_encoding(binary)
    yield from _records(binary, {"tw-patent-grant": tipo_record}, ("tw-patent-grants",))


_COUNTRY_SUFFIX = re.compile(r"\s*\[[A-Z]{2}\]\s*$")
_LANGUAGES = ("zh", "en")
# Taiwan IPO names an element's language in its tag: <chinese-title>, <english-abstract>.
_TAG_LANGUAGES = {"chinese": "zh", "english": "en"}
ABSTRACTS_APART = "\n\n"  # between the abstracts of a record's other languages (titles: one a line)


def _language(element) -> str:
    """An element's language: its lang attribute, else the one its tag names, else ""."""
    if not isinstance(element.tag, str):
        return ""
    return (element.get("lang") or _TAG_LANGUAGES.get(element.tag.split("-")[0], "")).lower()


def _preferred(elements: Iterable) -> object | None:
    """The element in Chinese, else English, else the first."""
    elements = list(elements)
    for language in _LANGUAGES:
        for element in elements:
            if _language(element).startswith(language):
                return element
    return elements[0] if elements else None


def _in_languages(elements: Iterable, read: Callable[[object], str], apart: str = "\n") -> tuple[str, str]:
    """A text given in several languages, one element each: (the one in the
    record's main language (_preferred among those holding text), the
    others joined by `apart` in document order, each once and none the same
    as the main one)."""
    texts = {element: text for element in elements if (text := read(element))}
    main = _preferred(texts)
    first = texts.pop(main) if main is not None else ""
    return first, apart.join(dict.fromkeys(text for text in texts.values() if text != first))


def _epo_names(parties, path: str) -> str:
    by_format: dict[str, list[str]] = {}
    for party in parties.iterfind(path) if parties is not None else ():
        name = _COUNTRY_SUFFIX.sub("", clean(party.findtext(".//name"))).rstrip(", ").strip()
        by_format.setdefault(party.get("data-format", ""), []).append(name)
    for data_format in ("epodoc", "docdba", "docdb", "original", ""):
        if by_format.get(data_format):
            return joined(by_format[data_format])
    return joined(name for names in by_format.values() for name in names)


def _epo_id(parent) -> tuple[tuple[str, str, str], str]:
    """(country, number, kind) and date of an element that holds one document
    in several document-id forms: docdb (the parts), else epodoc, else the
    first given; the date from any form when the chosen one has none."""
    ids = {d.get("document-id-type", ""): d for d in reversed(parent.findall("document-id"))}
    chosen = ids.get("docdb", ids.get("epodoc", next(iter(ids.values()), None)))
    if chosen is None:
        return ("", "", ""), ""
    dates = [chosen.findtext("date")] + [d.findtext("date") for d in ids.values()]
    return _parts(chosen), clean(next((d for d in dates if d and d.strip()), ""))


def _epo_cpc(biblio) -> Iterator[str]:
    """CPC symbols of patent-classifications (schemes CPC, CPCI, CPCNO…),
    given in parts or as one symbol."""
    for element in biblio.iterfind("patent-classifications/patent-classification"):
        scheme = element.find("classification-scheme")
        if scheme is None or not (scheme.get("scheme") or "").upper().startswith("CPC"):
            continue
        if element.find("section") is not None:
            yield symbol_of_parts(element)
        else:
            yield cpc_symbol(element.findtext("classification-symbol") or element.findtext("text") or "")


def epo_record(document) -> PatentRecord:
    if document.get("status") == "not found":
        raise ValueError(f"EPO 找不到這份文件：{document.get('country', '')}{document.get('doc-number', '')}")
    biblio = document.find("bibliographic-data")
    if biblio is None:
        raise ValueError("缺少書目資料（bibliographic-data）")
    number = f"{document.get('country', '')}{document.get('doc-number', '')}"
    if not number:
        publication = biblio.find("publication-reference/document-id")
        number = (publication.findtext("country") or "") + (publication.findtext("doc-number") or "")
    dates = [d.text for d in biblio.iterfind("publication-reference/document-id/date") if d.text]
    application = biblio.find("application-reference")
    an, ad = "", ""
    if application is not None:
        docdb = application.find("document-id[@document-id-type='docdb']")
        if docdb is not None:
            an = (docdb.findtext("country") or "") + (docdb.findtext("doc-number") or "")
        else:
            an = application.findtext("document-id/doc-number") or ""
        ad = next((d.text for d in application.iterfind("document-id/date") if d.text), "")
    ipc = [ipc_symbol(t.text or "") for t in biblio.iterfind("classifications-ipcr/classification-ipcr/text")]
    ipc += [ipc_symbol(t.text or "") for t in biblio.iterfind("classification-ipc/text")]
    parties = biblio.find("parties")
    priority = [_epo_id(c) for c in biblio.iterfind("priority-claims/priority-claim")]
    cited = [_epo_id(c)[0] for c in biblio.iterfind("references-cited/citation/patcit")]
    title, title_alt = _in_languages(biblio.iterfind("invention-title"), _text)
    abstract, abstract_alt = _in_languages(document.iterfind("abstract"), _paragraphs, ABSTRACTS_APART)
    return PatentRecord(
        pn=pn.canonical(number, document.get("kind", "")),
        title=title,
        abstract=abstract,
        claims=_claims(_preferred(document.iterfind("claims"))),
        applicants=_epo_names(parties, "applicants/applicant"),
        inventors=_epo_names(parties, "inventors/inventor"),
        ipc=joined(ipc),
        an=clean(an),
        ad=_date(iso_date, ad, "申請日"),
        pd=_date(iso_date, dates[0] if dates else "", "公開公告日"),
        priority=joined(_spaced(parts) for parts, _ in priority),
        prd=earliest_date(date for _, date in priority),
        cpc=joined(_epo_cpc(biblio)),
        family=clean(document.get("family-id")),
        cites=publication_numbers((country + number, kind) for country, number, kind in cited),
        doctype=clean(document.get("kind")),
        title_alt=title_alt,
        abstract_alt=abstract_alt,
    )


def _fulltext_claims(container) -> str:
    """Claims of an OPS full text: a claim holding several claim-text
    elements holds one claim in each (OPS puts them all in one)."""
    if container is None:
        return ""
    claims = []
    for claim in container.iter("claim"):
        texts = claim.findall("claim-text")
        if len(texts) > 1:
            claims.extend(("", "".join(text.itertext())) for text in texts)
        else:
            claims.append((claim.get("num", ""), "".join(claim.itertext())))
    return numbered_claims(claims)


def fulltext_claims(document) -> ClaimsOnly:
    """The claims of an EPO OPS full-text document (ftxt:fulltext-document),
    for the record of its number the collection holds."""
    if document.get("status") == "not found":
        raise ValueError(f"EPO 找不到這份文件：{document.get('country', '')}{document.get('doc-number', '')}")
    biblio = document.find("bibliographic-data")
    references = biblio.findall("publication-reference") if biblio is not None else []
    docdb = [r for r in references if r.get("data-format") == "docdb"]
    document_id = (docdb or references or [None])[0]
    document_id = document_id.find("document-id") if document_id is not None else None
    country, number, kind = _parts(document_id) if document_id is not None else ("", "", "")
    if not number:
        raise ValueError("缺少公開公告號（publication-reference）")
    claims = _fulltext_claims(_preferred(document.iterfind("claims")))
    if not claims:
        raise ValueError(f"{country}{number}{kind}：這份 EPO 全文沒有專利範圍（claims），未匯入（全文只匯入專利範圍）")
    return ClaimsOnly(pn=pn.canonical(country + number, kind), claims=claims)


def epo_xml(binary: BinaryIO, info: FileInfo) -> Iterator[Row]:
    info.format = "EPO OPS／DOCDB 書目 XML"
    info.encoding = _declared_encoding(binary)

    def claims(document) -> ClaimsOnly:
        info.format = "EPO OPS 全文 XML（專利範圍）"  # shown with the first row
        return fulltext_claims(document)

    makers = {"exchange-document": epo_record, "fulltext-document": claims}
    yield from _records(binary, makers, ("world-patent-data", "exchange-documents", "fulltext-documents"), namespaced=True)
