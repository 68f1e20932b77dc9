"""Checks every link of the built site: each relative link names a file of the site, and each
fragment an id of its page. External links are listed, not fetched.

    python docs/check_links.py SITE_DIR
"""

from __future__ import annotations

import sys
from html.parser import HTMLParser
from pathlib import Path
from urllib.parse import unquote, urlsplit


class Page(HTMLParser):
    def __init__(self) -> None:
        super().__init__(convert_charrefs=True)
        self.ids: set[str] = set()
        self.links: list[str] = []

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        for name, value in attrs:
            if value is None:
                continue
            if name in ("id", "name"):
                self.ids.add(value)
            elif (name == "href" and tag in ("a", "link")) or (name == "src" and tag in ("img", "script")):
                self.links.append(value)


def main(site: Path) -> int:
    site = site.resolve()
    pages: dict[Path, Page] = {}
    for path in sorted(site.rglob("*.html")):
        page = Page()
        page.feed(path.read_text(encoding="utf-8"))
        pages[path.resolve()] = page
    broken, external = [], set()
    for path, page in pages.items():
        for link in page.links:
            parts = urlsplit(link)
            if parts.scheme or parts.netloc:
                if parts.scheme in ("http", "https"):
                    external.add(link)
                continue
            base = site if parts.path.startswith("/") else path.parent
            target = (base / unquote(parts.path).lstrip("/")).resolve() if parts.path else path
            if target.is_dir():
                target = target / "index.html"
            if not target.exists():
                broken.append(f"{path.relative_to(site.resolve())}: {link} (no such file)")
            elif parts.fragment and target in pages and unquote(parts.fragment) not in pages[target].ids:
                broken.append(f"{path.relative_to(site.resolve())}: {link} (no such anchor)")
    for line in broken:
        print(line)
    print(f"{len(pages)} pages, {sum(len(p.links) for p in pages.values())} links, {len(broken)} broken; "
          f"external links, not fetched: {', '.join(sorted(external)) or 'none'}")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main(Path(sys.argv[1])))
