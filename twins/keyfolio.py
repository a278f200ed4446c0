"""keyfolio's coroutines as plain Python; collaborators are module globals (see twins/__init__.py)."""
from twins.checks import entry, exact


def _token_holders(session):
    return session.scalars(select(Users).where(Users.api_token.isnot(None))).all()


def _name(name=None):
    return (exact("name", str, name, optional=True),)


@entry(_name)
async def create_api_token(name=None):
    if name is not None and type(name) is not str:
        name, = _name(name)
    user_settings = get_user_settings()
    if not user_settings.user_sub:
        raise NoUserLoggedInError("No user is currently logged in.")
    if not user_settings.server_url:
        raise NoUserLoggedInError("No server URL configured.")

    with get_db_session_context() as session:
        existing = dao_api_token.read(user_settings.user_sub, session)
    if existing is not None:
        raise UserAlreadyHasTokenError(f"User '{user_settings.user_sub}' already has a local API token. "
                                       f"Delete it first.")

    token_name = name if name else generate_token_name()
    try:
        token_response = api_token_create(name=token_name)
    except ConnectionError:
        raise ServerUnreachableError("Cannot reach the server to create the token.")
    except Exception as e:
        raise ServerOperationError(f"Server error while creating token: {e}")

    token_info = APIKeyInfo(
        uid=token_response.uid,
        name=token_response.name,
        api_token=token_response.api_token,
        server_url=user_settings.server_url,
    )
    store_API_token(token_info)
    return APITokenCreateResponse(
        uid=token_response.uid,
        name=token_response.name,
        api_token=token_response.api_token,
        server_url=user_settings.server_url,
    )


async def list_keyfolio():
    with get_db_session_context() as session:
        users = _token_holders(session)
        results = []
        for user in users:
            token_dict = user.api_token
            results.append(APITokenReadLocal(
                user_sub=user.username,
                user_name=f"{user.firstname} {user.lastname}",
                api_key_name=token_dict.get("name") if token_dict else None,
                api_key_uid=token_dict.get("uid") if token_dict else None,
                server_url=token_dict.get("server_url") if token_dict else None,
            ))
    return results


def _uid(api_key_uid):
    return (exact("api_key_uid", str, api_key_uid),)


@entry(_uid)
async def delete_api_token(api_key_uid):
    if type(api_key_uid) is not str:
        api_key_uid, = _uid(api_key_uid)
    with get_db_session_context() as session:
        users = _token_holders(session)
        target_user_sub = None
        for user in users:
            token_dict = user.api_token
            if token_dict and token_dict.get("uid") == api_key_uid:
                target_user_sub = user.username
                break
    if target_user_sub is None:
        raise TokenNotFoundError(f"No local token found with uid '{api_key_uid}'.")

    try:
        api_token_delete(api_key_uid)
    except ConnectionError:
        raise ServerUnreachableError("Cannot reach the server to revoke the token.")
    except Exception as e:
        raise ServerOperationError(f"Server error while revoking token: {e}")

    with get_db_session_context() as session:
        dao_api_token.delete(target_user_sub, session)
    TOKEN_CACHE.pop(target_user_sub, None)


@entry(_uid)
async def check_api_token(api_key_uid):
    if type(api_key_uid) is not str:
        api_key_uid, = _uid(api_key_uid)
    with get_db_session_context() as session:
        users = _token_holders(session)
        target_user_sub = None
        target_token = None
        for user in users:
            token_dict = user.api_token
            if token_dict and token_dict.get("uid") == api_key_uid:
                target_user_sub = user.username
                target_token = APIKeyInfo(
                    uid=token_dict.get("uid"),
                    name=token_dict.get("name"),
                    api_token=token_dict.get("api_token"),
                    server_url=token_dict.get("server_url"),
                )
                break
    if target_token is None or target_user_sub is None:
        raise TokenNotFoundError(f"No local token found with uid '{api_key_uid}'.")

    try:
        test_api_token(target_user_sub, target_token)
        response = APITokenCheckResponse(valid=True)
    except APIKeyInvalidException:
        response = APITokenCheckResponse(valid=False)
    except Exception:
        raise ServerUnreachableError("Cannot reach the server to validate the token.")
    return response
