from typing import List as List

from sqlalchemy import select as select
from zentab_api.app.exceptions.auth.general_handler import NoUserLoggedInError as NoUserLoggedInError
from zentab_api.app.exceptions.auth.local.keyfolio_handler import (
    TokenNotFoundError as TokenNotFoundError,
    UserAlreadyHasTokenError as UserAlreadyHasTokenError,
)
from zentab_api.app.exceptions.general_handler import (
    ServerOperationError as ServerOperationError,
    ServerUnreachableError as ServerUnreachableError,
)
from zentab_api.app.schemas.auth.local.keyfolio import (
    APITokenCheckResponse as APITokenCheckResponse,
    APITokenCreateResponse as APITokenCreateResponse,
    APITokenReadLocal as APITokenReadLocal,
)
from zentab_client.exceptions import APIKeyInvalidException as APIKeyInvalidException
from zentab_client.local.dao.api_token import dao_api_token as dao_api_token
from zentab_client.local.database import get_db_session_context as get_db_session_context
from zentab_client.local.model import Users as Users
from zentab_client.local.models.keyfolio import APIKeyInfo as APIKeyInfo
from zentab_client.remote.endpoints.keyfolio import (
    api_token_create as api_token_create,
    api_token_delete as api_token_delete,
)
from zentab_client.remote.keyfolio import (
    TOKEN_CACHE as TOKEN_CACHE,
    generate_token_name as generate_token_name,
    store_API_token as store_API_token,
    test_api_token as test_api_token,
)
from zentab_client.settings.user_settings import get_user_settings as get_user_settings

async def create_api_token(name: str | None = None) -> APITokenCreateResponse: ...
async def list_keyfolio() -> List[APITokenReadLocal]: ...
async def delete_api_token(api_key_uid: str) -> None: ...
async def check_api_token(api_key_uid: str) -> APITokenCheckResponse: ...
