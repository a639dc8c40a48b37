# SPDX-License-Identifier: MIT
"""Every relative link of README.md and docs/*.md leads somewhere: the file exists and, for a
link to a heading (page.md#heading), the page has that heading (anchors as the usual Markdown
renderers make them). The README stays a five-minute read: at most 200 lines.

    check_doc_links.py SOURCE_DIR
"""
import re
import sys
from pathlib import Path

README_MAX_LINES = 200
LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")


def anchors(page: Path) -> set[str]:
    found: set[str] = set()
    counts: dict[str, int] = {}
    in_code = False
    for line in page.read_text(encoding="utf-8").splitlines():
        if line.startswith("```"):
            in_code = not in_code
            continue
        match = re.match(r"#{1,6} +(.*)", line)
        if in_code or not match:
            continue
        slug = re.sub(r"[^\w\- ]", "", match.group(1).strip().lower()).replace(" ", "-")
        n = counts.get(slug, 0)
        counts[slug] = n + 1
        found.add(slug if n == 0 else f"{slug}-{n}")
    return found


def main() -> int:
    root = Path(sys.argv[1]).resolve()
    pages = [root / "README.md", *sorted((root / "docs").glob("*.md"))]
    failures = []
    for page in pages:
        text = page.read_text(encoding="utf-8")
        text = re.sub(r"```.*?```", "", text, flags=re.S)  # links inside code are not links
        for target in LINK.findall(text):
            if re.match(r"[a-z]+:", target):
                continue  # http:, mailto: ...
            path, _, anchor = target.partition("#")
            linked = (page.parent / path).resolve() if path else page
            where = f"{page.relative_to(root)}: ({target})"
            if not linked.exists():
                failures.append(f"{where}: no such file")
            elif anchor and linked.suffix == ".md" and anchor not in anchors(linked):
                failures.append(f"{where}: {linked.relative_to(root)} has no heading #{anchor}")
    lines = len((root / "README.md").read_text(encoding="utf-8").splitlines())
    if lines > README_MAX_LINES:
        failures.append(f"README.md: {lines} lines, more than {README_MAX_LINES}")
    for failure in failures:
        print(f"FAIL: {failure}")
    if failures:
        return 1
    print(f"links of {len(pages)} pages lead somewhere; README.md has {lines} lines")
    return 0


if __name__ == "__main__":
    sys.exit(main())
