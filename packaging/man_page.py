#!/usr/bin/python3
"""Writes the manual page brimwell.1 from the README's command reference, so that the two never
disagree: the README's first paragraph becomes DESCRIPTION, its usage block SYNOPSIS, and the
sections named in SECTIONS follow with their headings. Markdown as the README uses it: paragraphs,
"- " and "1. " items, fenced code, tables, `code`, **bold** and [links](...).

Usage: man_page.py README.md VERSION OUTPUT (OUTPUT ending in .gz is compressed)."""

import gzip
import re
import sys

# The README's sections that describe using the program, in the page's order.
SECTIONS = [
    "Running it",
    "Ports, lock files and line rates",
    "Finding the adapters: `brimwell ports` and stable port names",
    "Many units at once, and the run record",
    "Recording a run for debugging: `--trace` and `--log`",
    "Installing the package",
]


def escape(text):
    """Roff text: backslashes doubled, a line never starting with a control character."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return re.sub(r"^([.'])", r"\\&\1", text)


def inline(text):
    text = re.sub(r"!\[[^\]]*\]\([^)]*\)", "", text)  # pictures are for the web page
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", text)
    out, pos = "", 0
    for m in re.finditer(r"`([^`]*)`|\*\*([^*]*)\*\*", text):
        out += escape(text[pos:m.start()])
        out += "\\fB" + escape(m.group(1) if m.group(1) is not None else m.group(2)) + "\\fR"
        pos = m.end()
    return out + escape(text[pos:])


def render(lines):
    """Roff for a run of README lines."""
    out, paragraph, in_code, in_item = [], [], False, False

    def flush():
        nonlocal paragraph
        if paragraph:
            out.append(inline(" ".join(paragraph)))
            paragraph = []

    for raw in lines:
        line = raw.rstrip()
        stripped = line.strip()
        if re.fullmatch(r"!\[[^\]]*\]\([^)]*\)", stripped):
            stripped = line = ""
        if stripped.startswith("```"):
            flush()
            out.extend([".sp", ".RS 4", ".nf"] if not in_code else [".fi", ".RE"])
            in_code = not in_code
            continue
        if in_code:
            out.append(escape(stripped if in_item else line))
            continue
        if not stripped:
            flush()
            continue
        if stripped.startswith("|"):  # a table: kept as its rows, without the rule
            flush()
            if not re.fullmatch(r"\|[-:| ]+\|", stripped):
                cells = [c.strip() for c in stripped.strip("|").split("|")]
                out.extend([".nf", inline("  ".join(cells)), ".fi"])
            continue
        item = re.match(r"(- |(\d+)\. )", line)
        if item:
            flush()
            out.append('.IP "%s." 4' % item.group(2) if item.group(2) else ".IP \\(bu 2")
            in_item = True
            paragraph.append(line[item.end():].strip())
            continue
        if in_item and not line.startswith("  "):
            flush()
            out.append(".PP")
            in_item = False
        elif not paragraph and not in_item:
            out.append(".PP")
        paragraph.append(stripped)
    flush()
    return out


def main():
    readme_path, version, output = sys.argv[1:4]
    with open(readme_path, encoding="utf-8") as f:
        readme = f.read().splitlines()
    sections, title, intro = {}, None, []
    for line in readme[1:]:
        if line.startswith("## "):
            title = line[3:].strip()
            sections[title] = []
        elif title is None:
            intro.append(line)
        else:
            sections[title].append(line)
    missing = [s for s in SECTIONS if s not in sections]
    if missing:
        sys.exit("man_page.py: the README has no section " + ", ".join(missing))
    # The usage lines of "Running it": its first code block, without the build directory; the
    # section goes on after it.
    running = sections["Running it"]
    start = running.index("```sh") + 1
    end = running.index("```", start)
    usage = running[start:end]
    sections["Running it"] = running[end + 1:]
    # The first paragraph after the quick-start block says what the program is.
    body = intro[intro.index("```", intro.index("```sh") + 1) + 1:]
    while body and not body[0].strip():
        body.pop(0)
    body = body[:body.index("")] if "" in body else body

    page = [
        '.TH BRIMWELL 1 "" "brimwell %s" "User Commands"' % version,
        ".SH NAME",
        "brimwell \\- load firmware and data into embedded units over a serial line",
        ".SH SYNOPSIS",
        ".nf",
    ]
    page += [escape(u.replace("build/bin/", "")) for u in usage]
    page += [".fi", ".SH DESCRIPTION"] + render(body)
    for name in SECTIONS:
        heading = re.sub(r"[`*]", "", name).upper()
        page += ['.SH "%s"' % escape(heading)] + render(sections[name])
    page += [".SH SEE ALSO", "minicom(1), ser2net(8), udev(7)"]
    text = "\n".join(page) + "\n"
    if output.endswith(".gz"):
        with open(output, "wb") as f:
            # No name or time in the header: the same README gives the same bytes.
            with gzip.GzipFile(filename="", mode="wb", fileobj=f, mtime=0, compresslevel=9) as z:
                z.write(text.encode("utf-8"))
    else:
        with open(output, "w", encoding="utf-8") as f:
            f.write(text)


if __name__ == "__main__":
    main()
