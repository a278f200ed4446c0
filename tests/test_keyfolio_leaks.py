"""No reference leaks: 100,000 calls through every success and error path of each function.

The doubles are mostly C-level callables; a keyfolio coroutine finishes on its
first send(None), so no event loop is needed. Arguments refused at the call
never reach the module's own code (only the shared binding) and are left out."""
import itertools
from types import SimpleNamespace

import pytest
import leakcheck
from leakcheck import ALLOWED_GROWTH, CALLS, blocks_grown

from zentab_api.python_api.auth.local import keyfolio as kf



class Boom(Exception):
    pass


def refused(*args, **kwargs):
    raise ConnectionRefusedError(111, "refused")


def boom(*args, **kwargs):
    raise Boom("failure")


def invalid(*args):
    raise kf.APIKeyInvalidException("rejected")


def always(value):
    return itertools.repeat(value).__next__


class Context:
    suppress = False

    def __enter__(self):
        return session

    def __exit__(self, exc_type, exc, tb):
        return self.suppress


rows = [
    SimpleNamespace(username="u0", firstname="Ada", lastname=None, api_token={}),
    SimpleNamespace(username="u1", firstname="Ada", lastname="", api_token={"uid": "a", "name": "n", "api_token": "s",
                                                                           "server_url": "http://s"}),
    SimpleNamespace(username="u2", firstname=5, lastname="L", api_token={"uid": "b", "name": "m", "api_token": "t"}),
]
bad_row = SimpleNamespace(username="u3", firstname="A", lastname="B", api_token=["not a mapping"])
result = SimpleNamespace(all=always(rows))
session = SimpleNamespace(scalars=lambda stmt: result)
statement = SimpleNamespace(where=lambda condition: statement)


@pytest.fixture
def doubles(monkeypatch):
    state = SimpleNamespace(context=Context())
    names = dict(
        get_user_settings=always(SimpleNamespace(user_sub="u1", server_url="http://s")),
        get_db_session_context=always(state.context),
        dao_api_token=SimpleNamespace(read=lambda sub, s: None, delete=lambda sub, s: None),
        Users=SimpleNamespace(api_token=SimpleNamespace(isnot=str)),
        select=lambda users: statement,
        generate_token_name=always("auto"),
        api_token_create=lambda name: SimpleNamespace(uid="a", name=name, api_token="s"),
        api_token_delete=len,
        APIKeyInfo=dict,
        store_API_token=len,
        test_api_token=lambda sub, token: None,
        TOKEN_CACHE={},
        APITokenCreateResponse=dict,
        APITokenReadLocal=dict,
        APITokenCheckResponse=dict,
    )
    for name, value in names.items():
        monkeypatch.setattr(kf, name, value)
    state.set = lambda name, value: monkeypatch.setattr(kf, name, value)
    return state


ERRORS = (TypeError, AttributeError, UnboundLocalError, Boom, kf.NoUserLoggedInError, kf.UserAlreadyHasTokenError,
          kf.TokenNotFoundError, kf.ServerUnreachableError, kf.ServerOperationError)


def drive(call):
    return leakcheck.drive(call, ERRORS)


def settings(**values):
    return lambda s: s.set("get_user_settings", always(SimpleNamespace(**values)))


def suppressing(fail):
    def setup(s):
        s.context.suppress = True
        fail(s)
    return setup


PATHS = {
    # name: (call, set-up, expected result)
    "create ok": (lambda: kf.create_api_token("mine"), None, dict),
    "create generated name": (lambda: kf.create_api_token(""), None, dict),
    "create nobody logged in": (lambda: kf.create_api_token(), settings(user_sub=None, server_url=None),
                                kf.NoUserLoggedInError),
    "create no server": (lambda: kf.create_api_token(), settings(user_sub="u1", server_url=""), kf.NoUserLoggedInError),
    "create existing": (lambda: kf.create_api_token(), lambda s: s.set("dao_api_token", SimpleNamespace(read=lambda sub, s: {})),
                        kf.UserAlreadyHasTokenError),
    "create unreachable": (lambda: kf.create_api_token(), lambda s: s.set("api_token_create", refused),
                           kf.ServerUnreachableError),
    "create server error": (lambda: kf.create_api_token(), lambda s: s.set("api_token_create", boom),
                            kf.ServerOperationError),
    "create store error": (lambda: kf.create_api_token(), lambda s: s.set("store_API_token", boom), Boom),
    "create suppressed": (lambda: kf.create_api_token(),
                          suppressing(lambda s: s.set("dao_api_token", SimpleNamespace(read=boom))), UnboundLocalError),
    "list ok": (lambda: kf.list_keyfolio(), None, list),
    "list bad token": (lambda: kf.list_keyfolio(), lambda s: setattr(result, "all", always([bad_row])), AttributeError),
    "list suppressed": (lambda: kf.list_keyfolio(), suppressing(lambda s: s.set("select", boom)), UnboundLocalError),
    "delete ok": (lambda: kf.delete_api_token("b"), None, None),
    "delete not found": (lambda: kf.delete_api_token("zz"), None, kf.TokenNotFoundError),
    "delete unreachable": (lambda: kf.delete_api_token("a"), lambda s: s.set("api_token_delete", refused),
                           kf.ServerUnreachableError),
    "delete server error": (lambda: kf.delete_api_token("a"), lambda s: s.set("api_token_delete", boom),
                            kf.ServerOperationError),
    "check valid": (lambda: kf.check_api_token("a"), None, dict),
    "check invalid": (lambda: kf.check_api_token("b"), lambda s: s.set("test_api_token", invalid), dict),
    "check unreachable": (lambda: kf.check_api_token("a"), lambda s: s.set("test_api_token", boom),
                          kf.ServerUnreachableError),
    "check not found": (lambda: kf.check_api_token(""), None, kf.TokenNotFoundError),
}


@pytest.fixture(autouse=True)
def restore_rows():
    yield
    result.all = always(rows)


@pytest.mark.timeout(60)
@pytest.mark.parametrize("path", list(PATHS))
def test_no_growth_over_many_calls(doubles, path):
    call, setup, expected = PATHS[path]
    if setup:
        setup(doubles)
    first = drive(call)
    assert first is expected or type(first) is expected
    growth = blocks_grown(lambda: drive(call), warmup=200)
    print(f"\n{path}: {growth:+d} blocks over {CALLS} calls")
    assert growth < ALLOWED_GROWTH
