"""The local API as its OpenAPI document and its documentation page present it: an OpenAPI
client (Schemathesis, every check) against the running service with each loop, and the page
in a real headless browser with every request off the loopback address refused."""
import os
import shutil
import subprocess
import sys
from pathlib import Path
from urllib.parse import urlsplit

import httpx
import pytest

from zentab_api.app import address as api_address
from zentab_client.local.database import dispose_engines
from zentab_client.remote.keyfolio import TOKEN_CACHE
from zentab_client.settings.user_settings import login
from zentab_server import start_server
from zentab_service_manager import ServiceManager
from zentab_service_manager.services import sync_api

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
# Per loop; the run stops there, whatever it has covered by then.
SCHEMATHESIS_SECONDS = 60


@pytest.fixture(params=["uvloop", "asyncio"])
def service(request, tmp_path, monkeypatch):
    monkeypatch.setenv("ZENTAB_DATA_DIR", str(tmp_path))
    monkeypatch.setenv("ZENTAB_API_LOOP", request.param)
    server = start_server()
    login("u1", "Ada", "Lovelace", server.url, access_token=server.issue_login("u1"))
    try:
        yield api_address.wait_for_address(sync_api.get_service().start(), timeout=60)
    finally:
        ServiceManager().stop_all()
        server.stop()
        TOKEN_CACHE.clear()
        dispose_engines()


def test_an_openapi_client_finds_the_service_as_documented(service, tmp_path):
    command = [str(Path(sys.executable).parent / "schemathesis"), "run", f"{service.url}/openapi.json",
               "--checks", "all", "--header", f"Authorization: Bearer {service.key}",
               "--max-examples", "10", "--seed", "1", "--max-time", str(SCHEMATHESIS_SECONDS),
               "--request-timeout", "30", "--report", "junit", "--report-dir", str(tmp_path / "report")]
    done = subprocess.run(command, capture_output=True, text=True, timeout=SCHEMATHESIS_SECONDS * 4,
                          cwd=tmp_path,  # its cache folder goes there, not into the checkout
                          env=dict(os.environ, NO_COLOR="1", SCHEMATHESIS_TELEMETRY="false"))
    summary = done.stdout[done.stdout.find("FAILURES"):] if "FAILURES" in done.stdout else done.stdout[-3000:]
    assert done.returncode == 0, summary + done.stderr[-2000:]
    assert " passed" in done.stdout and "failed" not in done.stdout.rsplit("SUMMARY", 1)[-1]


@pytest.mark.skipif(CHROMIUM is None, reason="Debian's chromium is not installed (make test installs it as root)")
def test_the_documentation_page_renders_offline_from_the_service_alone(tmp_path, monkeypatch):
    from playwright.sync_api import sync_playwright

    monkeypatch.setenv("ZENTAB_DATA_DIR", str(tmp_path))
    service = sync_api.get_service()
    found = api_address.wait_for_address(service.start(), timeout=60)
    # Under `make sanitize` the sanitizer runtime is preloaded into this interpreter and the
    # service: not into the browser and its driver, which are not ours.
    monkeypatch.delenv("LD_PRELOAD", raising=False)
    origin = urlsplit(found.url).netloc
    paths = set(httpx.get(f"{found.url}/openapi.json", timeout=30).json()["paths"])
    requested, refused, problems = [], [], []
    try:
        with sync_playwright() as playwright:
            browser = playwright.chromium.launch(executable_path=CHROMIUM, args=["--no-sandbox"])
            try:
                context = browser.new_context()

                def only_loopback(route):
                    requested.append(route.request.url)
                    if urlsplit(route.request.url).netloc == origin:
                        route.continue_()
                    else:
                        refused.append(route.request.url)
                        route.abort()

                context.route("**/*", only_loopback)
                page = context.new_page()
                page.on("console", lambda message: message.type == "error" and problems.append(message.text))
                page.on("pageerror", lambda error: problems.append(str(error)))
                page.goto(f"{found.url}/docs")
                page.wait_for_selector(".opblock-summary-path", timeout=60_000)
                shown = set(page.locator(".opblock-summary-path").all_inner_texts())
            finally:
                browser.close()
    finally:
        service.stop()
    assert refused == [] and problems == [], (refused, problems)
    assert any(url.endswith("/docs/assets/swagger-ui-bundle.js") for url in requested)
    assert shown == paths and len(paths) == 18
