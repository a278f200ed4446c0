"""The documentation page, served with its assets from the installed swagger-ui-bundle package.

Nothing is loaded from another origin: a script from a CDN would run on the API's own origin,
where a user may paste the key, and the page would be blank offline. The page's policy
(Content-Security-Policy) lets the browser load nothing but this origin either.
"""
import base64
import hashlib
import re

from fastapi import FastAPI
from fastapi.openapi.docs import get_swagger_ui_html
from starlette.responses import HTMLResponse
from starlette.staticfiles import StaticFiles
from swagger_ui_bundle import swagger_ui_path

DOCS_PATH = "/docs"
ASSETS_PATH = "/docs/assets"
OPENAPI_PATH = "/openapi.json"
# Open without the key (a browser cannot send it for a page and its assets).
OPEN_PATHS = (DOCS_PATH, OPENAPI_PATH, ASSETS_PATH + "/")


def page() -> HTMLResponse:
    html = get_swagger_ui_html(
        openapi_url=OPENAPI_PATH, title="zentab local API",
        swagger_js_url=f"{ASSETS_PATH}/swagger-ui-bundle.js", swagger_css_url=f"{ASSETS_PATH}/swagger-ui.css",
        swagger_favicon_url=f"{ASSETS_PATH}/favicon-32x32.png",
        # No badge from the public validator service.
        swagger_ui_parameters={"validatorUrl": None})
    # The page's one inline script (Swagger UI's set-up) is allowed by its hash, no other.
    inline = re.findall(rb"<script>(.*?)</script>", html.body, re.S)
    hashes = " ".join(f"'sha256-{base64.b64encode(hashlib.sha256(s).digest()).decode()}'" for s in inline)
    html.headers["Content-Security-Policy"] = (
        f"default-src 'self'; script-src 'self' {hashes}; style-src 'self' 'unsafe-inline'; "
        "img-src 'self' data:; connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'")
    return html


def add_docs(app: FastAPI) -> None:
    html = page()
    body = html.body
    headers = {"Content-Security-Policy": html.headers["Content-Security-Policy"]}

    @app.get(DOCS_PATH, include_in_schema=False)
    async def docs() -> HTMLResponse:
        return HTMLResponse(body, headers=headers)

    app.mount(ASSETS_PATH, StaticFiles(directory=str(swagger_ui_path)), name="docs-assets")
