"""keyfolio against recording doubles: the exact calls it makes, its checks and
their messages, error translation, and the synchronous session protocol."""
import sys
from types import SimpleNamespace

import pytest
from hypothesis import given, strategies as st

from zentab_api.python_api.auth.local import keyfolio as kf

class Log(list):
    def add(self, entry, /, *args, **kwargs):
        self.append((entry, args, list(kwargs.items())))


class Reads:
    """An object whose attribute reads are logged, in order."""

    def __init__(self, log, tag, **values):
        object.__setattr__(self, "_log", log)
        object.__setattr__(self, "_tag", tag)
        object.__setattr__(self, "_values", values)

    def __getattr__(self, name):
        self._log.add(f"{self._tag}.{name}")
        return self._values[name]


class Context:
    """Synchronous context manager double: records entry and exit, may suppress."""

    def __init__(self, log, session=None, suppress=False):
        self.log, self.session, self.suppress = log, session, suppress

    def __call__(self):
        self.log.add("session")
        return self

    def __enter__(self):
        self.log.add("enter")
        return self.session

    def __exit__(self, exc_type, exc, tb):
        self.log.add("exit", exc_type, exc is None or exc.__traceback__ is tb)
        return self.suppress


class Fakes:
    """Every collaborator of the module, recording into one log in call order."""

    def __init__(self, monkeypatch):
        self.log = log = Log()
        self.context = Context(log)
        self.settings = Reads(log, "settings", user_sub="u1", server_url="http://srv")
        self.existing = None
        self.rows = []
        self.errors = {}  # collaborator name -> exception it raises
        self.response = Reads(log, "resp", uid="id1", name="given", api_token="s3cret")
        self.cache = {"u1": "cached"}
        self.stmt = None

        def rec(name, result=lambda *a, **k: None):
            def call(*args, **kwargs):
                log.add(name, *args, **kwargs)
                if name in self.errors:
                    raise self.errors[name]
                return result(*args, **kwargs)
            return call

        fakes = self

        class Column:
            def isnot(self, value):
                log.add("isnot", value)
                return "COND"

        class Users:
            api_token = Column()

        class Statement:
            def where(self, cond):
                log.add("where", cond)
                return "STMT"

        class Session:
            def scalars(self, stmt):
                log.add("scalars", stmt)
                return SimpleNamespace(all=lambda: list(fakes.rows))

        class Cache(dict):
            def pop(self, *args):
                log.add("cache.pop", *args)
                return dict.pop(self, *args)

        self.session = self.context.session = Session()
        self.cache = Cache(self.cache)
        names = dict(
            get_user_settings=rec("get_user_settings", lambda: self.settings),
            get_db_session_context=self.context,
            dao_api_token=SimpleNamespace(read=rec("dao.read", lambda *a: self.existing), delete=rec("dao.delete")),
            Users=Users,
            select=rec("select", lambda *a: Statement()),
            generate_token_name=rec("generate_token_name", lambda: "auto"),
            api_token_create=rec("api_token_create", lambda **k: self.response),
            api_token_delete=rec("api_token_delete"),
            APIKeyInfo=rec("APIKeyInfo", lambda **k: ("info", tuple(k.values()))),
            store_API_token=rec("store_API_token"),
            test_api_token=rec("test_api_token"),
            TOKEN_CACHE=self.cache,
            APITokenCreateResponse=rec("APITokenCreateResponse", lambda **k: k),
            APITokenReadLocal=lambda **k: k,
            APITokenCheckResponse=rec("APITokenCheckResponse", lambda **k: k),
        )
        for name, value in names.items():
            monkeypatch.setattr(kf, name, value)

    def names(self):
        return [entry[0] for entry in self.log]


@pytest.fixture
def fx(monkeypatch):
    return Fakes(monkeypatch)


def run(coro):
    """Drive a coroutine that must finish on its first step."""
    with pytest.raises(StopIteration) as stop:
        coro.send(None)
    return stop.value.value


def row(username="u1", token=None, firstname="Ada", lastname="Lovelace"):
    return SimpleNamespace(username=username, firstname=firstname, lastname=lastname, api_token=token)


def token(uid="id1", name="laptop", secret="s3cret", server="http://srv"):
    return {"uid": uid, "name": name, "api_token": secret, "server_url": server}


# ---- create_api_token -----------------------------------------------------------


@pytest.mark.parametrize("name, used", [(None, "auto"), ("", "auto"), ("mine", "mine")])
def test_create_calls_in_order(fx, name, used):
    result = run(kf.create_api_token(name))
    assert result == dict(uid="id1", name="given", api_token="s3cret", server_url="http://srv")
    generated = [("generate_token_name", (), [])] if used == "auto" else []
    reads = ["resp.uid", "resp.name", "resp.api_token", "settings.server_url"]
    assert fx.log == [
        ("get_user_settings", (), []),
        ("settings.user_sub", (), []),
        ("settings.server_url", (), []),
        ("session", (), []),
        ("enter", (), []),
        ("settings.user_sub", (), []),
        ("dao.read", ("u1", fx.session), []),
        ("exit", (None, True), []),
        *generated,
        ("api_token_create", (), [("name", used)]),
        *[(r, (), []) for r in reads],
        ("APIKeyInfo", (), [("uid", "id1"), ("name", "given"), ("api_token", "s3cret"), ("server_url", "http://srv")]),
        ("store_API_token", (("info", ("id1", "given", "s3cret", "http://srv")),), []),
        *[(r, (), []) for r in reads],
        ("APITokenCreateResponse", (), [("uid", "id1"), ("name", "given"), ("api_token", "s3cret"),
                                        ("server_url", "http://srv")]),
    ]


@pytest.mark.parametrize(
    "user_sub, server_url, existing, error, message",
    [
        (None, None, None, "NoUserLoggedInError", "No user is currently logged in."),
        ("", "http://srv", None, "NoUserLoggedInError", "No user is currently logged in."),
        ("u1", "", None, "NoUserLoggedInError", "No server URL configured."),
        ("u1", None, None, "NoUserLoggedInError", "No server URL configured."),
        ("u1", "http://srv", {}, "UserAlreadyHasTokenError", "User 'u1' already has a local API token. Delete it first."),
        ("u1", "http://srv", 0, "UserAlreadyHasTokenError", "User 'u1' already has a local API token. Delete it first."),
        (42, "http://srv", "", "UserAlreadyHasTokenError", "User '42' already has a local API token. Delete it first."),
    ],
)
def test_create_refusals_make_no_remote_call(fx, user_sub, server_url, existing, error, message):
    fx.settings = SimpleNamespace(user_sub=user_sub, server_url=server_url)
    fx.existing = existing
    with pytest.raises(getattr(kf, error)) as info:
        run(kf.create_api_token("n"))
    assert type(info.value) is getattr(kf, error) and info.value.args == (message,)
    assert "api_token_create" not in fx.names()


@pytest.mark.parametrize(
    "fn, arg, remote, unreachable, failed",
    [
        ("create_api_token", None, "api_token_create", "Cannot reach the server to create the token.",
         "Server error while creating token: "),
        ("delete_api_token", "id1", "api_token_delete", "Cannot reach the server to revoke the token.",
         "Server error while revoking token: "),
    ],
)
@pytest.mark.parametrize(
    "raised, outcome",
    [
        (ConnectionError("down"), "unreachable"),
        (ConnectionRefusedError(111, "refused"), "unreachable"),
        (ConnectionResetError(), "unreachable"),
        (TimeoutError("slow"), "failed"),  # an OSError, not a ConnectionError
        (ValueError(), "failed"),
        (RuntimeError("boom", 2), "failed"),
    ],
)
def test_remote_errors_are_translated_with_context(fx, fn, arg, remote, unreachable, failed, raised, outcome):
    fx.rows = [row(token=token())]
    fx.errors[remote] = raised
    expected = kf.ServerUnreachableError if outcome == "unreachable" else kf.ServerOperationError
    with pytest.raises(expected) as info:
        run(getattr(kf, fn)(arg))
    err = info.value
    assert type(err) is expected
    assert err.args == ((unreachable,) if outcome == "unreachable" else (failed + str(raised),))
    assert err.__context__ is raised and err.__cause__ is None and not err.__suppress_context__
    assert fx.names().count("enter") == 1  # nothing stored or removed afterwards
    assert "store_API_token" not in fx.names() and "cache.pop" not in fx.names()


@pytest.mark.parametrize("fn, remote", [("create_api_token", "api_token_create"), ("delete_api_token", "api_token_delete"),
                                        ("check_api_token", "test_api_token")])
def test_non_exception_errors_pass_unchanged(fx, fn, remote):
    fx.rows = [row(token=token())]
    fx.errors[remote] = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt) as info:
        run(getattr(kf, fn)(None if fn == "create_api_token" else "id1"))
    assert info.value is fx.errors[remote]


def test_translation_sees_the_caught_error_as_being_handled(fx, monkeypatch):
    seen = []

    class Probe(Exception):
        def __init__(self, message):
            seen.append(sys.exc_info()[1])
            super().__init__(message)

    monkeypatch.setattr(kf, "ServerUnreachableError", Probe)
    fx.errors["api_token_create"] = ConnectionError()
    with pytest.raises(Probe):
        run(kf.create_api_token())
    assert seen == [fx.errors["api_token_create"]]
    assert sys.exc_info() == (None, None, None)


@pytest.mark.parametrize("failing", ["store_API_token", "APIKeyInfo", "APITokenCreateResponse", "generate_token_name"])
def test_create_other_failures_propagate_unchanged(fx, failing):
    fx.errors[failing] = LookupError("x")
    with pytest.raises(LookupError) as info:
        run(kf.create_api_token())
    assert info.value is fx.errors[failing] and info.value.__context__ is None


# ---- argument rules -------------------------------------------------------------


class Sub(str):
    pass


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: kf.create_api_token(b"x"), "Argument 'name' has incorrect type (expected str, got bytes)"),
        (lambda: kf.create_api_token(Sub("x")), "Argument 'name' has incorrect type (expected str, got Sub). "),
        (lambda: kf.create_api_token("a", "b"), "create_api_token() takes at most 1 positional argument (2 given)"),
        (lambda: kf.list_keyfolio(1), "list_keyfolio() takes no arguments (1 given)"),
        (lambda: kf.delete_api_token(None), "Argument 'api_key_uid' has incorrect type (expected str, got NoneType)"),
        (lambda: kf.check_api_token(api_key_uid=Sub()), "Argument 'api_key_uid' has incorrect type (expected str, got Sub). "),
        (lambda: kf.check_api_token(), "check_api_token() takes exactly 1 positional argument (0 given)"),
    ],
)
def test_bad_arguments_refused_at_the_call(fx, call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value).startswith(message)
    assert fx.log == []


# ---- the synchronous session ------------------------------------------------------


@pytest.mark.parametrize("missing, methods", [("__exit__", ()), ("__exit__", ("__enter__",)), ("__enter__", ("__exit__",))])
def test_exit_is_looked_up_before_enter(fx, monkeypatch, missing, methods):
    manager = type("M", (), {n: (lambda self, *a: None) for n in methods})()
    monkeypatch.setattr(kf, "get_db_session_context", lambda: manager)
    with pytest.raises(AttributeError) as info:
        run(kf.list_keyfolio())
    assert info.value.args == (missing,)


@pytest.mark.parametrize(
    "fn, arg, fail, unset",
    [
        ("create_api_token", None, "dao.read", "existing"),
        ("list_keyfolio", None, "select", "results"),
        ("delete_api_token", "id1", "select", "target_user_sub"),
        ("check_api_token", "id1", "select", "target_token"),
    ],
)
def test_suppressed_error_leaves_the_value_unset(fx, fn, arg, fail, unset):
    fx.context.suppress = True
    fx.errors[fail] = LookupError("inside")
    with pytest.raises(UnboundLocalError) as info:
        run(getattr(kf, fn)(*([arg] if arg else [])))
    assert str(info.value) == f"local variable '{unset}' referenced before assignment"
    assert ("exit", (LookupError, True), []) in fx.log
    assert "api_token_create" not in fx.names() and "api_token_delete" not in fx.names()


def test_suppressed_error_in_the_listing_loop_returns_the_records_so_far(fx):
    fx.context.suppress = True
    fx.rows = [row(token=token()), row(token=["not", "a", "mapping"])]
    assert [r["user_sub"] for r in run(kf.list_keyfolio())] == ["u1"]


def test_suppressed_lookup_error_after_the_target_was_reset_is_not_found(fx, monkeypatch):
    fx.context.suppress = True
    fx.rows = [row(token=token())]
    fx.errors["APIKeyInfo"] = ValueError()
    with pytest.raises(kf.TokenNotFoundError):
        run(kf.check_api_token("id1"))


def test_error_from_exit_chains_to_the_block_error(fx, monkeypatch):
    inner, outer = LookupError("inner"), OSError("exit failed")

    class Failing(Context):
        def __exit__(self, *exc):
            raise outer

    monkeypatch.setattr(kf, "get_db_session_context", Failing(fx.log, fx.session))
    fx.errors["dao.read"] = inner
    with pytest.raises(OSError) as info:
        run(kf.create_api_token())
    assert info.value is outer and outer.__context__ is inner


# ---- list_keyfolio ------------------------------------------------------------------


def test_list_builds_records_without_the_secret(fx):
    reads = []

    class Recording(dict):
        def get(self, key):
            reads.append(key)
            return super().get(key)

    fx.rows = [
        row("u1", Recording(token(uid="a", name="n1", server="http://one"))),
        row("u2", {}, "Ada", None),
        row("u3", {"uid": "c"}, "Ada", ""),
        row(None, {"uid": "d"}, 5, 2.5),
    ]
    records = run(kf.list_keyfolio())
    assert type(records) is list
    assert records == [
        dict(user_sub="u1", user_name="Ada Lovelace", api_key_name="n1", api_key_uid="a", server_url="http://one"),
        dict(user_sub="u2", user_name="Ada None", api_key_name=None, api_key_uid=None, server_url=None),
        dict(user_sub="u3", user_name="Ada ", api_key_name=None, api_key_uid="c", server_url=None),
        dict(user_sub=None, user_name="5 2.5", api_key_name=None, api_key_uid="d", server_url=None),
    ]
    assert reads == ["name", "uid", "server_url"]
    assert fx.log[:6] == [("session", (), []), ("enter", (), []), ("select", (kf.Users,), []), ("isnot", (None,), []),
                          ("where", ("COND",), []), ("scalars", ("STMT",), [])]
    assert fx.log[-1] == ("exit", (None, True), [])


def test_list_with_no_token_holders_is_empty_and_a_bad_token_fails(fx):
    assert run(kf.list_keyfolio()) == []
    fx.rows = [row(token=["x"])]
    with pytest.raises(AttributeError):
        run(kf.list_keyfolio())
    assert fx.log[-1][:2] == ("exit", (AttributeError, True))


# ---- delete_api_token and check_api_token ----------------------------------------------


@pytest.mark.parametrize("fn", ["delete_api_token", "check_api_token"])
@pytest.mark.parametrize(
    "rows, uid",
    [
        ([], "id1"),
        ([row(token=token(uid=5))], "5"),  # an int never equals a str
        ([row(token={}), row(token=None)], ""),
        ([row(token=token(uid="x"))], ""),
        ([row(username=None, token=token())], "id1"),
        ([row(username=None, token=token()), row("u2", token())], "id1"),  # first match wins, even without a subject
    ],
)
def test_not_found_contacts_no_server(fx, fn, rows, uid):
    fx.rows = rows
    with pytest.raises(kf.TokenNotFoundError) as info:
        run(getattr(kf, fn)(uid))
    assert info.value.args == (f"No local token found with uid '{uid}'.",)
    assert not {"api_token_delete", "test_api_token"} & set(fx.names())


def test_delete_revokes_then_removes_locally_then_evicts(fx):
    fx.rows = [row("u0", {}), row("u1", token(uid="")), row("u2", token(uid="id1")), row("u3", token(uid="id1"))]
    assert run(kf.delete_api_token("id1")) is None
    assert fx.log[6:] == [
        ("exit", (None, True), []),
        ("api_token_delete", ("id1",), []),
        ("session", (), []),
        ("enter", (), []),
        ("dao.delete", ("u2", fx.session), []),
        ("exit", (None, True), []),
        ("cache.pop", ("u2", None), []),
    ]


def test_delete_without_cache_entry_and_local_failure(fx):
    fx.rows = [row("u1", token())]
    fx.cache.clear()
    run(kf.delete_api_token("id1"))
    fx.errors["dao.delete"] = OSError("disk")
    fx.cache["u1"] = "kept"
    with pytest.raises(OSError):
        run(kf.delete_api_token("id1"))
    assert fx.cache == {"u1": "kept"}


@pytest.mark.parametrize(
    "raised, outcome",
    [(None, {"valid": True}), (kf.APIKeyInvalidException("no"), {"valid": False}),
     (ValueError("x"), kf.ServerUnreachableError), (ConnectionError(), kf.ServerUnreachableError),
     (kf.ServerOperationError("y"), kf.ServerUnreachableError)],
)
def test_check_outcomes(fx, raised, outcome):
    fx.rows = [row("u1", token(uid="id1", name="n", secret="s", server="http://one"))]
    if raised is not None:
        fx.errors["test_api_token"] = raised
    if isinstance(outcome, dict):
        assert run(kf.check_api_token("id1")) == outcome
    else:
        with pytest.raises(outcome) as info:
            run(kf.check_api_token("id1"))
        assert info.value.args == ("Cannot reach the server to validate the token.",)
        assert info.value.__context__ is raised and info.value.__cause__ is None
    assert ("APIKeyInfo", (), [("uid", "id1"), ("name", "n"), ("api_token", "s"), ("server_url", "http://one")]) in fx.log
    assert ("test_api_token", ("u1", ("info", ("id1", "n", "s", "http://one"))), []) in fx.log
    assert "dao.delete" not in fx.names() and "cache.pop" not in fx.names()


def test_check_failure_building_the_valid_response_is_unreachable(fx):
    fx.rows = [row("u1", token())]
    fx.errors["APITokenCheckResponse"] = ValueError("model")
    with pytest.raises(kf.ServerUnreachableError) as info:
        run(kf.check_api_token("id1"))
    assert info.value.__context__ is fx.errors["APITokenCheckResponse"]


@given(uids=st.lists(st.one_of(st.text(max_size=3), st.integers(0, 3)), max_size=6), wanted=st.text(max_size=3))
def test_lookup_takes_the_first_equal_uid(uids, wanted):
    with pytest.MonkeyPatch.context() as mp:
        fx = Fakes(mp)
        fx.rows = [row(f"u{i}", token(uid=u)) for i, u in enumerate(uids)]
        matches = [i for i, u in enumerate(uids) if type(u) is str and u == wanted]
        if not matches:
            with pytest.raises(kf.TokenNotFoundError):
                run(kf.delete_api_token(wanted))
        else:
            run(kf.delete_api_token(wanted))
            assert ("dao.delete", (f"u{matches[0]}", fx.session), []) in fx.log


@pytest.mark.parametrize("fn, name, expected", [
    ("create_api_token", "api_token_create", "ServerOperationError"),
    ("delete_api_token", "api_token_delete", "ServerOperationError"),
    ("check_api_token", "test_api_token", "ServerUnreachableError"),
    ("check_api_token", "APITokenCheckResponse", "ServerUnreachableError"),
])
def test_a_collaborator_name_gone_from_the_module_is_translated_as_in_python(fx, monkeypatch, fn, name, expected):
    # The lookup stands inside the try, as `name(...)` does in Python: its NameError is translated.
    fx.rows = [row(token=token())]
    monkeypatch.delattr(kf, name)
    with pytest.raises(getattr(kf, expected)) as info:
        run(getattr(kf, fn)(None if fn == "create_api_token" else "id1"))
    assert type(info.value.__context__) is NameError
    assert str(info.value.__context__) == f"name '{name}' is not defined"
