#!/usr/bin/env python3
"""Checks every relative link in README.md and docs/*.md: the file or folder
it names must exist in the repository, and an anchor into a Markdown file
must name a heading there (its anchor computed as GitHub computes it) or an
HTML id. Links to other sites are left alone. Prints an `ok` or `FAIL` line
per file, the broken links under their file, and the count; the exit status
is 1 when a link is broken."""
import html
import re
import sys
import unicodedata
from pathlib import Path
from urllib.parse import unquote

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests/support"))
from suite import Suite  # noqa: E402

FENCE = re.compile(r"^ {0,3}(`{3,}|~{3,})")
ATX_HEADING = re.compile(r"^ {0,3}(#{1,6})(?:[ \t]+(.*?))?(?:[ \t]+#+)?[ \t]*$")
SETEXT_UNDERLINE = re.compile(r"^ {0,3}(=+|-+)[ \t]*$")
LIST_ITEM = re.compile(r"^ {0,3}(?:[-+*]|\d+[.)])(?:[ \t]|$)")
CODE_SPAN = re.compile(r"(`+)(.+?)\1")
# [text](destination "title"), images too; the text may hold one level of
# brackets.
INLINE_LINK = re.compile(
    r"!?\[((?:[^\[\]\\]|\\.|\[[^\[\]]*\])*)\]\(\s*(<[^>]*>|[^\s()]*)(?:\s+\"[^\"]*\")?\s*\)")
REFERENCE_DEFINITION = re.compile(r"^ {0,3}\[[^\]]+\]:\s*(<[^>]*>|\S+)")
REFERENCE_LINK = re.compile(r"\[((?:[^\[\]\\]|\\.)*)\]\[[^\]]*\]")
HTML_ID = re.compile(r"<[A-Za-z][^>]*?\b(?:id|name)=\"([^\"]+)\"")
HTML_TAG = re.compile(r"<[^>]+>")
SCHEME = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*:|^//")


def prose_lines(text):
    """(line number, line) of the lines outside fenced code blocks."""
    fence = None
    for number, line in enumerate(text.split("\n"), 1):
        opening = FENCE.match(line)
        if fence:
            if opening and opening.group(1)[0] == fence[0] and len(opening.group(1)) >= len(fence):
                fence = None
            continue
        if opening:
            fence = opening.group(1)
            continue
        yield number, line


def rendered_text(markdown):
    """The text a heading shows: code spans as written, the rest without
    links' targets, emphasis, tags and escapes."""
    parts = []
    last = 0
    for code in CODE_SPAN.finditer(markdown):
        parts.append(plain_text(markdown[last:code.start()]))
        parts.append(code.group(2).strip())
        last = code.end()
    parts.append(plain_text(markdown[last:]))
    return "".join(parts)


def plain_text(markdown):
    text = INLINE_LINK.sub(lambda link: link.group(1), markdown)
    text = REFERENCE_LINK.sub(lambda link: link.group(1), text)
    text = HTML_TAG.sub("", text)
    text = re.sub(r"\*+|~~|(?<!\w)_+|_+(?!\w)", "", text)
    text = re.sub(r"\\([!-/:-@\[-`{-~])", r"\1", text)
    return html.unescape(text)


def github_slug(heading_text):
    """GitHub's anchor for a heading: lower case, every character but
    letters, marks, decimal digits, connector punctuation, hyphens and spaces
    dropped (so Japanese letters stay and its punctuation goes), spaces made
    hyphens."""
    kept = []
    for c in heading_text.strip().lower():
        category = unicodedata.category(c)
        if c in " -" or category[0] in "LM" or category in ("Nd", "Pc"):
            kept.append(c)
    return "".join(kept).replace(" ", "-")


def anchors_of(path):
    """Every anchor a link into the Markdown file `path` may name."""
    anchors = set()
    used = {}

    def add_heading(markdown):
        slug = github_slug(rendered_text(markdown))
        count = used.get(slug, 0)
        used[slug] = count + 1
        anchors.add(slug if count == 0 else f"{slug}-{count}")

    previous = ""
    for _, line in prose_lines(path.read_text(encoding="utf-8")):
        anchors.update(HTML_ID.findall(line))
        heading = ATX_HEADING.match(line)
        underline = SETEXT_UNDERLINE.match(line)
        if heading:
            add_heading(heading.group(2) or "")
            line = ""
        elif (underline and previous.strip() and not ATX_HEADING.match(previous) and
              not LIST_ITEM.match(previous) and not previous.lstrip().startswith("|")):
            add_heading(previous.strip())
            line = ""
        previous = line
    return anchors


def links_of(text):
    """(line number, destination) of every link outside code."""
    for number, line in prose_lines(text):
        line = CODE_SPAN.sub("", line)
        definition = REFERENCE_DEFINITION.match(line)
        if definition:
            yield number, definition.group(1).strip("<>")
            continue
        for link in INLINE_LINK.finditer(line):
            yield number, link.group(2).strip("<>")


def problems_of(path, anchor_cache):
    problems = []
    count = 0
    for number, destination in links_of(path.read_text(encoding="utf-8")):
        if SCHEME.match(destination):
            continue  # another site
        count += 1
        target_part, _, anchor = destination.partition("#")
        target = (path.parent / unquote(target_part)).resolve() if target_part else path
        where = f"line {number}: {destination}"
        if not target.is_relative_to(ROOT):
            problems.append(f"{where}: outside the repository")
        elif not target.exists():
            problems.append(f"{where}: no such file")
        elif anchor:
            if target.suffix.lower() != ".md":
                problems.append(f"{where}: an anchor into a file that is not Markdown")
                continue
            if target not in anchor_cache:
                anchor_cache[target] = anchors_of(target)
            if unquote(anchor) not in anchor_cache[target]:
                problems.append(f"{where}: no such heading in {target.relative_to(ROOT)}")
    return count, problems


def main():
    pages = [ROOT / "README.md"] + sorted((ROOT / "docs").glob("*.md"))
    anchor_cache = {}
    suite = Suite()
    for page in pages:
        count, problems = problems_of(page, anchor_cache)
        suite.check(f"{page.relative_to(ROOT)} ({count} links)", problems)
    return suite.finish()


if __name__ == "__main__":
    sys.exit(main())
