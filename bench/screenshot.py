"""The README's picture of the console: builds the command line's demo bookshop in a
temporary database, serves it, runs a check on the page in headless Chromium and saves a
screenshot.

    python bench/screenshot.py [-o docs/console.png] [--chromium /usr/bin/chromium]

Needs the web extra and Playwright (with Debian's chromium; no browser is downloaded).
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import socket
import sys
import tempfile
import threading
import time

import uvicorn

from zarn_user.cli import main as cli
from zarn_user.cli.commands import DEMO
from zarn_user.web import create_app


def build(db: str) -> None:
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        for argv in DEMO:
            if argv[0] in ("init", "grant", "include"):
                cli(["--db", db, *argv])


def serve(db: str, token: str) -> tuple[uvicorn.Server, str]:
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    server = uvicorn.Server(uvicorn.Config(create_app(db, token=token), log_level="warning", access_log=False))
    threading.Thread(target=server.run, kwargs={"sockets": [sock]}, daemon=True).start()
    while not server.started:
        time.sleep(0.02)
    return server, f"http://127.0.0.1:{port}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    here = os.path.dirname(os.path.abspath(__file__))
    parser.add_argument("-o", "--output", default=os.path.normpath(os.path.join(here, "..", "docs", "console.png")))
    parser.add_argument("--chromium", default="/usr/bin/chromium")
    args = parser.parse_args()
    from playwright.sync_api import sync_playwright

    with tempfile.TemporaryDirectory() as tmp:
        db = os.path.join(tmp, "demo.sqlite3")
        build(db)
        server, url = serve(db, token="demo")
        try:
            with sync_playwright() as p:
                browser = p.chromium.launch(executable_path=args.chromium, args=["--no-sandbox"])
                page = browser.new_page(viewport={"width": 1440, "height": 860}, device_scale_factor=1)
                page.goto(f"{url}/apps/bookshop?role=manager")
                page.fill("#token", "demo")
                page.click("#token-form button")
                page.fill("#check-roles", "manager")
                page.fill("#check-obj", "review")
                page.fill("#check-act", "read")
                page.click("#check-form button")
                page.wait_for_selector("#check-result .answer")
                page.fill("#who-obj", "invoice")
                page.fill("#who-act", "read")
                page.click("#who-form button")
                page.wait_for_selector("#who-result li")
                page.wait_for_timeout(300)
                os.makedirs(os.path.dirname(os.path.abspath(args.output)), exist_ok=True)
                page.screenshot(path=args.output)
                browser.close()
        finally:
            server.should_exit = True
    print(f"wrote {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
