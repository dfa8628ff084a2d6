#!/usr/bin/env python3
"""The reference pages of docs/ against the code they describe: every switch the stub reads, every
result code it defines, every engine-results key and stream key is named on its page, and
everything a page names still exists in the code.   docs_drift.py SOURCE_ROOT"""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1])


def read(path):
    return (root / path).read_text(encoding="utf-8")


def sources(*folders):
    return "\n".join(p.read_text(encoding="utf-8", errors="replace")
                     for folder in folders for p in sorted((root / folder).rglob("*"))
                     if p.suffix in (".h", ".cpp"))


def first_cells(page, heading):
    """First and second cells of the table rows below '## heading', up to the next heading."""
    start = page.index("\n## " + heading + "\n")
    end = page.find("\n## ", start + 1)
    rows = []
    for line in page[start:end if end >= 0 else None].splitlines():
        if line.startswith("|") and not re.match(r"\|\s*-", line):
            cells = [c.strip() for c in line.strip().strip("|").split("|")]
            rows.append((cells[0], cells[1] if len(cells) > 1 else ""))
    return rows


def enum_values(text, name):
    body = re.search(r"enum " + name + r"\b[^{]*\{(.*?)\};", text, re.S).group(1)
    return {int(v) for v in re.findall(r"=\s*(\d+)", body)}


def compare(what, in_code, in_docs, page):
    for name in sorted(in_code - in_docs, key=str):
        problems.append(f"{what} {name} is missing from {page}")
    for name in sorted(in_docs - in_code, key=str):
        problems.append(f"{what} {name} is named in {page} but gone from the code")


problems = []

# Switches: the names the run modes read (the one file that reads them all).
switches = set(re.findall(r'L"([A-Za-z?]+)"', read("stub/RunModes.cpp")))
page = read("docs/command-line.md")
documented = set()
for cell, _ in first_cells(page, "Switches"):
    documented |= set(re.findall(r"`/([^`\s]+)`", cell))
compare("switch", switches, documented, "docs/command-line.md")

# Result codes the stub defines, except those marked as never reaching the exit code.
codes = set()
for path in sorted((root / "stub").glob("*.[ch]*")):
    for line in path.read_text(encoding="utf-8").splitlines():
        m = re.search(r"HRESULT\s+k\w+\s*=\s*(?:static_cast<HRESULT>\()?\s*(0x[0-9A-Fa-f]+|\d+)", line)
        if m and "never an exit code" not in line:
            value = int(m.group(1), 0)
            codes.add(f"0x{value:08X}" if m.group(1).startswith("0x") else str(value))
page = read("docs/exit-codes.md")
named = {c.upper().replace("0X", "0x") for c in re.findall(r"0x[0-9A-Fa-f]{8}", page)}
named |= set(re.findall(r"`(\d+)`", page))
for code in sorted(codes - named):
    problems.append(f"result code {code} is missing from docs/exit-codes.md")
# A code in a table's first column must still be in the code: its value, or the symbol the row names.
corpus = sources("stub", "system", "components", "runtime", "package", "samples")
stub_corpus = sources("stub", "components")
for line in page.splitlines():
    if not line.startswith("|") or re.match(r"\|\s*-", line):
        continue
    cells = [c.strip() for c in line.strip().strip("|").split("|")]
    for code in re.findall(r"`(0x[0-9A-Fa-f]{8}|\d{4,})`", cells[0]):
        alive = (re.search(re.escape(code), corpus, re.I) if code.startswith("0x")
                 else re.search(r"\b" + code + r"\b", corpus))
        symbols = re.findall(r"\b(?:S_OK|(?:E|ERROR|TRUST_E)_[A-Z_]+)\b", " ".join(cells[1:]))
        if not alive and not any(re.search(r"\b" + s + r"\b", stub_corpus) for s in symbols):
            problems.append(f"result code {code} is named in docs/exit-codes.md but gone from the code")

# Engine-results keys and stream keys, against their tables in the integration page.
page = read("docs/integrating.md")
for what, header, enum, heading in (
        ("engine-results key", "components/ComponentInterfaces.h", "EResultKey", "Engine results"),
        ("stream key", "package/StreamKeys.h", "EStreamKey", "Stream collection")):
    documented = {int(cell) for cell, _ in first_cells(page, heading) if cell.isdigit()}
    compare(what, enum_values(read(header), enum), documented, "docs/integrating.md")

for problem in problems:
    print(problem)
if problems:
    sys.exit(1)
print(f"docs match the code: {len(switches)} switches, {len(codes)} result codes, engine results and stream keys")
