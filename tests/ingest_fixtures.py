"""Small import files in each layout, written from the formats' published
facts (not copied from real exports)."""

from __future__ import annotations

LENS_CURRENT = (
    '\ufeff"#",Jurisdiction,Kind,Display Key,Lens ID,Publication Date,Application Number,Application Date,'
    "Title,Abstract,Applicants,Inventors,IPCR Classifications,Owners\r\n"
    '1,US,B2,US 9000001 B2,000-000-000-000-001,2017-12-05,US 201715000001 A,2017-03-14,'
    '"Gene editing, improved","An abstract\r\nover two lines.",ACME BIO INC;;SMITH; JONES LLP,'
    "DOE JANE;;ROE RICHARD,C12N9/22;;A61K35/28,ACME BIO INC (2017-01-05)\r\n"
    '2,US,A1,US 2020/0000002 A1,000-000-000-000-002,2020-04-02,US 201916000002 A,2019-09-05,'
    "Second title,,ACME BIO INC,DOE JANE,C12N15/86,\r\n"
)

LENS_OLD = (
    "Result #,Jurisdiction,Kind,Publication Number,Lens ID,Publication Date,Application Number,"
    "Application Date,Title,Applicants,Inventors,IPCR Classifications\n"
    "1,EP,A1,EP 2000001 A1,000-000-000-000-003,2011-12-28,EP 10000001 A,2010-06-24,"
    "Older layout title,BLUE OY,HERRALA SAMI,H04W84/20\n"
)

# 2015-era export: Mac Roman, CR line ends, DD/MM/YY dates.
LENS_2015 = (
    "Result #,Jurisdiction,Kind,Publication Number,Lens ID,Publication Date,Application Number,"
    "Application Date,Title,Applicants,Inventors\r"
    "1,WO,A1,WO 2014/000004 A1,000-000-000-000-004,03/01/14,WO 2013EP00004 A,28/06/13,"
    "Caf\u00e9 machine \u2013 improved,Soci\u00e9t\u00e9 G\u00e9n\u00e9rale SA,M\u00fcller Hans\r"
)

GOOGLE = (
    '"search URL:","https://patents.google.com/?q=drone"\n'
    "id,title,assignee,inventor/author,priority date,filing/creation date,publication date,grant date,"
    "result link,representative figure link\n"
    'US-9000005-B2,Drone survey,"Kespry, Inc., Samsung Electronics Co., Ltd.","Jane Doe, Richard Roe",'
    "2014-01-01,2015-02-03,2017-05-06,2017-05-06,https://example.invalid/US9000005B2/en,\n"
)

USPTO_GRANT = """<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE us-patent-grant SYSTEM "us-patent-grant-v45-2014-04-03.dtd" [ ]>
<us-patent-grant lang="EN" dtd-version="v4.5 2014-04-03">
<us-bibliographic-data-grant>
<publication-reference><document-id><country>US</country><doc-number>{number}</doc-number><kind>B2</kind>
<date>20150106</date></document-id></publication-reference>
<application-reference appl-type="utility"><document-id><country>US</country><doc-number>13000006</doc-number>
<date>20121009</date></document-id></application-reference>
<classifications-ipcr><classification-ipcr><section>G</section><class>06</class><subclass>F</subclass>
<main-group>15</main-group><subgroup>16</subgroup></classification-ipcr></classifications-ipcr>
<invention-title id="t1">Session <i>messages</i></invention-title>
<us-parties>
<us-applicants><us-applicant sequence="001" app-type="applicant"><addressbook><orgname>Example Machines Corp</orgname>
</addressbook></us-applicant></us-applicants>
<inventors><inventor sequence="001"><addressbook><last-name>Nissen</last-name><first-name>Nora</first-name>
</addressbook></inventor></inventors>
<agents><agent sequence="01"><addressbook><orgname>Agent &#x26; Partners LLC</orgname></addressbook></agent></agents>
</us-parties>
<assignees><assignee><addressbook><orgname>Example Holdings Ltd</orgname><role>02</role></addressbook></assignee>
</assignees>
<examiners><primary-examiner><last-name>Meeker</last-name><first-name>Mia</first-name></primary-examiner></examiners>
</us-bibliographic-data-grant>
<abstract id="abstract"><p id="p-0001">First paragraph.</p><p id="p-0002">Second paragraph.</p></abstract>
<claims id="claims">
<claim id="CLM-00001" num="00001"><claim-text>1. A system comprising:
<claim-text>a processor.</claim-text></claim-text></claim>
<claim id="CLM-00002" num="00002"><claim-text>2. The system of <claim-ref idref="CLM-00001">claim 1</claim-ref>.</claim-text>
</claim>
</claims>
</us-patent-grant>
"""

USPTO_APPLICATION_V42 = """<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE us-patent-application SYSTEM "us-patent-application-v42-2006-08-23.dtd" [ ]>
<us-patent-application lang="EN" dtd-version="v4.2 2006-08-23">
<us-bibliographic-data-application lang="EN" country="US">
<publication-reference><document-id><country>US</country><doc-number>20070000007</doc-number><kind>A1</kind>
<date>20070104</date></document-id></publication-reference>
<application-reference appl-type="utility"><document-id><country>US</country><doc-number>11000007</doc-number>
<date>20060423</date></document-id></application-reference>
<classification-ipc><edition>07</edition><main-classification>A61B005/00</main-classification>
<further-classification>G06F 19/00</further-classification></classification-ipc>
<invention-title id="t2">Blood sugar game</invention-title>
<parties>
<applicants>
<applicant sequence="00" app-type="applicant-inventor"><addressbook><last-name>Kaufer</last-name>
<first-name>Heidi</first-name></addressbook></applicant>
</applicants>
<correspondence-address><addressbook><name>Counsel LLP</name></addressbook></correspondence-address>
</parties>
</us-bibliographic-data-application>
<abstract id="abstract"><p id="A-0001">A device.</p></abstract>
</us-patent-application>
"""

SEQUENCE_LISTING = """<?xml version="1.0" encoding="UTF-8"?>
<sequence-cwu id="SEQLST-0"><number-of-sequences>1</number-of-sequences></sequence-cwu>
"""

TIPO_INVENTION = """\ufeff<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE tw-patent-grant SYSTEM "patent.dtd">
<tw-patent-grant dtd-version="A103.1.0">
<tw-bibliographic-data-grant>
<volno>41</volno><isuno>16</isuno><kindcode>B</kindcode>
<publication-reference><document-id><doc-number>I400008</doc-number><kind /><date>103/06/01</date></document-id>
</publication-reference>
<application-reference appl-type="invention"><document-id><doc-number>101000008</doc-number><kind />
<date>101/05/10</date></document-id></application-reference>
<classification-ipc><main-classification edition="2006">C12N1/14</main-classification>
<further-classification edition="2006">A01G 1/04</further-classification></classification-ipc>
<parties>
<applicants><applicant sequence="1"><addressbook>
<chinese-name><last-name>範例生技股份有限公司</last-name><first-name></first-name></chinese-name>
<english-name><last-name>EXAMPLE BIOTECH CO., LTD.</last-name><middle-name /><first-name /></english-name>
<address>高雄市</address></addressbook></applicant></applicants>
<inventors><inventor sequence="1"><addressbook>
<chinese-name><last-name>王</last-name><first-name>小明</first-name></chinese-name><address /></addressbook></inventor>
</inventors>
<agents><agent sequence="1"><addressbook><chinese-name><last-name>李代理</last-name><first-name /></chinese-name>
<address /></addressbook></agent></agents>
</parties>
<examiners><examiner><chinese-name><last-name>張審查</last-name><first-name /></chinese-name></examiner></examiners>
<invention-title><chinese-title>牛樟芝的培養方法</chinese-title><english-title>CULTIVATION</english-title>
</invention-title>
</tw-bibliographic-data-grant>
<claims>
<claim id="clm1" num="1"><p type="claim-text">一種培養方法，包含一步驟。</p></claim>
<claim id="clm2" num="2"><p type="claim-text">如申請專利範圍第1項所述之方法。</p></claim>
</claims>
</tw-patent-grant>
"""

TIPO_DESIGN = """<?xml version="1.0" encoding="utf-8"?>
<tw-patent-grant dtd-version="A103.1.0">
<tw-bibliographic-data-grant>
<volno>41</volno><isuno>16</isuno><kindcode>S</kindcode>
<publication-reference><document-id><doc-number>D160009</doc-number><kind /><date>103/06/01</date></document-id>
</publication-reference>
<application-reference appl-type="design"><document-id><doc-number>102300009</doc-number><kind />
<date>102/02/21</date></document-id></application-reference>
<classification-locarno><main-classification edition="9">02-01</main-classification></classification-locarno>
<parties><applicants><applicant sequence="1"><addressbook><chinese-name><last-name>陳</last-name>
<first-name>設計</first-name></chinese-name><address /></addressbook></applicant></applicants>
<inventors><inventor sequence="1"><addressbook><chinese-name><last-name>陳</last-name><first-name>設計</first-name>
</chinese-name><address /></addressbook></inventor></inventors></parties>
<invention-title><chinese-title>褲子</chinese-title><english-title /></invention-title>
</tw-bibliographic-data-grant>
<drawings><drawing-description><p type="p"><p>本設計為一件褲子。</p></p></drawing-description></drawings>
<claims />
</tw-patent-grant>
"""

_EPO_DOCUMENT = """<exchange-document system="ops.epo.org" country="EP" doc-number="{number}" kind="A1">
<bibliographic-data>
<publication-reference><document-id document-id-type="docdb"><country>EP</country><doc-number>{number}</doc-number>
<kind>A1</kind><date>20111228</date></document-id></publication-reference>
<classifications-ipcr><classification-ipcr sequence="1"><text>H04W  84/    20            A I        </text>
</classification-ipcr></classifications-ipcr>
<application-reference><document-id document-id-type="docdb"><country>EP</country><doc-number>10000010</doc-number>
<kind>A</kind></document-id><document-id document-id-type="epodoc"><doc-number>EP20100000010</doc-number>
<date>20100624</date></document-id></application-reference>
<parties>
<applicants><applicant sequence="1" data-format="epodoc"><applicant-name><name>BLUE OY [FI]</name></applicant-name>
</applicant><applicant sequence="1" data-format="original"><applicant-name><name>Blue Oy, </name></applicant-name>
</applicant></applicants>
<inventors><inventor sequence="1" data-format="epodoc"><inventor-name><name> HERRALA SAMI [FI]
</name></inventor-name></inventor></inventors>
</parties>
<invention-title lang="de">VERNETZUNG</invention-title><invention-title lang="en">NETWORKING {number}</invention-title>
</bibliographic-data>
<abstract lang="en"><p>A mesh network.</p></abstract>
</exchange-document>"""

EPO_TWO = (
    '<?xml version="1.0" encoding="UTF-8"?>\n'
    '<ops:world-patent-data xmlns="http://www.epo.org/exchange" xmlns:ops="http://ops.epo.org">\n'
    "<exchange-documents>\n"
    + _EPO_DOCUMENT.format(number="2000010")
    + "\n"
    + _EPO_DOCUMENT.format(number="2000011")
    + "\n</exchange-documents>\n</ops:world-patent-data>\n"
)

OWN_CSV = "pn,title,applicants,ad\nTW I1,電池,甲公司; 乙公司,2020-01-05\n"
OWN_JSONL = '{"pn": "J1", "title": "面板", "inventors": ["王小明", "李大華"], "pd": "2021/3/4"}\n'

# A Taiwan IPO gazette folder's index.xml: each record again, without its kind code.
TIPO_INDEX = (
    '<?xml version="1.0" encoding="utf-8"?>\n<tw-patent-grants total-count="1">\n'
    + TIPO_INVENTION.split("\n", 2)[2].replace("<kindcode>B</kindcode>", "").split("<claims>")[0]
    .replace("<first-name>小明</first-name>", "<first-name>小明</first-name></chinese-name></addressbook></inventor>"
             "<inventor sequence=\"2\"><addressbook><chinese-name><last-name>李</last-name><first-name>大華</first-name>")
    + "</tw-patent-grant>\n</tw-patent-grants>\n"
)

# An EPO OPS claims response: one claim element holding every claim.
EPO_CLAIMS = """<?xml version="1.0" encoding="UTF-8"?>
<ops:world-patent-data xmlns="http://www.epo.org/exchange" xmlns:ops="http://ops.epo.org"
 xmlns:ftxt="http://www.epo.org/fulltext"><ftxt:fulltext-documents>
""" + "".join(
    f"""<ftxt:fulltext-document system="worldwide.espacenet.com" fulltext-format="text-only"><bibliographic-data>
<publication-reference data-format="docdb"><document-id><country>EP</country><doc-number>{number}</doc-number>
<kind>A1</kind></document-id></publication-reference></bibliographic-data>
<claims lang="DE"><claim><claim-text>1. Ein Netz.</claim-text></claim></claims>
<claims lang="EN"><claim><claim-text>1. A mesh widget.</claim-text><claim-text>2. The widget of claim 1.</claim-text>
</claim></claims></ftxt:fulltext-document>
""" for number in ("2000010", "9999999")) + "</ftxt:fulltext-documents></ops:world-patent-data>\n"
