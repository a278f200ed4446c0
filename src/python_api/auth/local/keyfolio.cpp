// zentab_api.python_api.auth.local.keyfolio: the local API tokens of the users
// who logged in on this machine, created, listed, revoked and validated
// against the remote server. The bodies never suspend: every collaborator
// call is synchronous.
#include "contracts/contracts.hpp"
#include "contracts/with.hpp"

namespace {

using namespace contracts;
using py::with;

constexpr Import imports[] = {
    {"typing", {{{"List"}}}},
    {"zentab_client.local.database", {{{"get_db_session_context"}}}},
    {"zentab_client.local.dao.api_token", {{{"dao_api_token"}}}},
    {"zentab_client.local.model", {{{"Users"}}}},
    {"zentab_client.remote.keyfolio",
     {{{"generate_token_name"}, {"store_API_token"}, {"test_api_token"}, {"TOKEN_CACHE"}}}},
    {"zentab_client.remote.endpoints.keyfolio", {{{"api_token_create"}, {"api_token_delete"}}}},
    {"zentab_client.local.models.keyfolio", {{{"APIKeyInfo"}}}},
    {"zentab_client.settings.user_settings", {{{"get_user_settings"}}}},
    {"zentab_client.exceptions", {{{"APIKeyInvalidException"}}}},
    {"sqlalchemy", {{{"select"}}}},
    {"zentab_api.app.schemas.auth.local.keyfolio",
     {{{"APITokenCreateResponse"}, {"APITokenReadLocal"}, {"APITokenCheckResponse"}}}},
    {"zentab_api.app.exceptions.auth.local.keyfolio_handler", {{{"UserAlreadyHasTokenError"}, {"TokenNotFoundError"}}}},
    {"zentab_api.app.exceptions.auth.general_handler", {{{"NoUserLoggedInError"}}}},
    {"zentab_api.app.exceptions.general_handler", {{{"ServerUnreachableError"}, {"ServerOperationError"}}}},
};

// The rows of every user who holds a token: select(Users).where(Users.api_token.isnot(None)).
Ref token_holders(const Env& env, const Ref& session) {
    Ref stmt = env["select"_n]({env["Users"_n]}).method("where"_n)({env["Users"_n].attr("api_token"_n).method("isnot"_n)({py::none()})});
    return session.method("scalars"_n)({stmt}).method("all"_n)();
}

// token_dict.get(key) if token_dict else None
Ref get_if_any(const Ref& token_dict, const Ref& key) {
    return token_dict.truth() ? token_dict.method("get"_n)({key}) : py::none();
}

[[noreturn]] void raise_not_found(const Env& env, const Ref& api_key_uid) {
    Ref error_type = env["TokenNotFoundError"_n];
    py::raise_with(error_type, py::concat({"No local token found with uid '"_s, api_key_uid, "'."_s}));
}

// ---- creation and listing ----------------------------------------------------

Task create_api_token(Env env, Arg<"name"> name) {
    Ref user_settings = env["get_user_settings"_n]();
    if (!user_settings.attr("user_sub"_n).truth())
        py::raise_with(env["NoUserLoggedInError"_n], "No user is currently logged in."_s);
    if (!user_settings.attr("server_url"_n).truth())
        py::raise_with(env["NoUserLoggedInError"_n], "No server URL configured."_s);

    Ref existing;
    co_await with(env["get_db_session_context"_n](), [&](Ref session) -> Task {
        existing = env["dao_api_token"_n].method("read"_n)({user_settings.attr("user_sub"_n), session});
        co_return py::none();
    });
    if (!existing) py::raise_unbound_local("existing");
    if (!existing.is_none()) {
        Ref error_type = env["UserAlreadyHasTokenError"_n];
        Ref message = py::concat({"User '"_s, py::text(user_settings.attr("user_sub"_n)),
                                  "' already has a local API token. Delete it first."_s});
        py::raise_with(error_type, message);
    }

    Ref token_name = name.truth() ? name : env["generate_token_name"_n]();
    py::Settled created = env.attempt("api_token_create"_n, "name"_kw = token_name);
    if (created.error) {
        py::PyError& e = *created.error;
        py::Handling handling(e);
        if (e.matches(PyExc_ConnectionError))
            co_return py::failure(env["ServerUnreachableError"_n], "Cannot reach the server to create the token."_s);
        if (!e.matches(PyExc_Exception)) co_return py::Failure{std::move(e)};
        Ref error_type = env["ServerOperationError"_n];
        Ref message = py::concat({"Server error while creating token: "_s, py::str_of(Ref::borrow(e.value()))});
        co_return py::failure(error_type, message);
    }
    Ref token_response = std::move(created.result);

    Ref token_info = env["APIKeyInfo"_n]({
        "uid"_kw = token_response.attr("uid"_n),
        "name"_kw = token_response.attr("name"_n),
        "api_token"_kw = token_response.attr("api_token"_n),
        "server_url"_kw = user_settings.attr("server_url"_n),
    });
    env["store_API_token"_n]({token_info});
    co_return env["APITokenCreateResponse"_n]({
        "uid"_kw = token_response.attr("uid"_n),
        "name"_kw = token_response.attr("name"_n),
        "api_token"_kw = token_response.attr("api_token"_n),
        "server_url"_kw = user_settings.attr("server_url"_n),
    });
}

Task list_keyfolio(Env env) {
    Ref results;
    co_await with(env["get_db_session_context"_n](), [&](Ref session) -> Task {
        Ref users = token_holders(env, session);
        results = py::new_list();
        for (const Ref& user : py::iterate(users)) {
            Ref token_dict = user.attr("api_token"_n);
            // Never the "api_token" key: the secret stays out of listings.
            Ref record = env["APITokenReadLocal"_n]({
                "user_sub"_kw = user.attr("username"_n),
                "user_name"_kw = py::concat({py::text(user.attr("firstname"_n)), " "_s,
                                             py::text(user.attr("lastname"_n))}),
                "api_key_name"_kw = get_if_any(token_dict, "name"_s),
                "api_key_uid"_kw = get_if_any(token_dict, "uid"_s),
                "server_url"_kw = get_if_any(token_dict, "server_url"_s),
            });
            py::append(results, record);
        }
        co_return py::none();
    });
    // A suppressed error may have left the list unmade (or partly filled).
    if (!results) py::raise_unbound_local("results");
    co_return results;
}

// ---- revocation and validation -------------------------------------------------

Task delete_api_token(Env env, Arg<"api_key_uid"> api_key_uid) {
    Ref target_user_sub;
    co_await with(env["get_db_session_context"_n](), [&](Ref session) -> Task {
        Ref users = token_holders(env, session);
        target_user_sub = py::none();
        for (const Ref& user : py::iterate(users)) {
            Ref token_dict = user.attr("api_token"_n);
            if (token_dict.truth() && py::eq(token_dict.method("get"_n)({"uid"_s}), api_key_uid)) {
                target_user_sub = user.attr("username"_n);
                break;
            }
        }
        co_return py::none();
    });
    if (!target_user_sub) py::raise_unbound_local("target_user_sub");
    if (target_user_sub.is_none()) raise_not_found(env, api_key_uid);

    py::Settled revoked = env.attempt("api_token_delete"_n, api_key_uid);
    if (revoked.error) {
        py::PyError& e = *revoked.error;
        py::Handling handling(e);
        if (e.matches(PyExc_ConnectionError))
            co_return py::failure(env["ServerUnreachableError"_n], "Cannot reach the server to revoke the token."_s);
        if (!e.matches(PyExc_Exception)) co_return py::Failure{std::move(e)};
        Ref error_type = env["ServerOperationError"_n];
        Ref message = py::concat({"Server error while revoking token: "_s, py::str_of(Ref::borrow(e.value()))});
        co_return py::failure(error_type, message);
    }

    // Keyed by the user, not the uid: whatever that user holds locally goes.
    co_await with(env["get_db_session_context"_n](), [&](Ref session) -> Task {
        env["dao_api_token"_n].method("delete"_n)({target_user_sub, session});
        co_return py::none();
    });
    env["TOKEN_CACHE"_n].method("pop"_n)({target_user_sub, py::none()});
    co_return py::none();
}

Task check_api_token(Env env, Arg<"api_key_uid"> api_key_uid) {
    Ref target_user_sub;
    Ref target_token;
    co_await with(env["get_db_session_context"_n](), [&](Ref session) -> Task {
        Ref users = token_holders(env, session);
        target_user_sub = py::none();
        target_token = py::none();
        for (const Ref& user : py::iterate(users)) {
            Ref token_dict = user.attr("api_token"_n);
            if (token_dict.truth() && py::eq(token_dict.method("get"_n)({"uid"_s}), api_key_uid)) {
                target_user_sub = user.attr("username"_n);
                target_token = env["APIKeyInfo"_n]({
                    "uid"_kw = token_dict.method("get"_n)({"uid"_s}),
                    "name"_kw = token_dict.method("get"_n)({"name"_s}),
                    "api_token"_kw = token_dict.method("get"_n)({"api_token"_s}),
                    "server_url"_kw = token_dict.method("get"_n)({"server_url"_s}),
                });
                break;
            }
        }
        co_return py::none();
    });
    if (!target_token) py::raise_unbound_local("target_token");
    if (target_token.is_none()) raise_not_found(env, api_key_uid);
    if (!target_user_sub) py::raise_unbound_local("target_user_sub");
    if (target_user_sub.is_none()) raise_not_found(env, api_key_uid);

    // try: the check, then the answer; any failure but a rejection counts as unreachable.
    Ref valid = py::boolean(true);
    py::Settled response = env.attempt("test_api_token"_n, target_user_sub, target_token);
    if (!response.error) response = env.attempt("APITokenCheckResponse"_n, "valid"_kw = valid);
    if (response.error) {
        py::PyError& e = *response.error;
        py::Handling handling(e);
        if (e.matches(env["APIKeyInvalidException"_n].get()))
            co_return env["APITokenCheckResponse"_n]({"valid"_kw = py::boolean(false)});
        if (!e.matches(PyExc_Exception)) co_return py::Failure{std::move(e)};
        co_return py::failure(env["ServerUnreachableError"_n], "Cannot reach the server to validate the token."_s);
    }
    co_return std::move(response.result);
}

constexpr const char* create_doc =
    "Create a new API token for the currently logged-in user.\n"
    "\n"
    "Calls the remote server to generate the token, then stores it locally.\n"
    "Raises if the user already has a local token (must delete first).\n"
    "If name is None, a descriptive name is auto-generated (e.g. 'ada@myhost (Linux) a1b2').";

constexpr const char* delete_doc =
    "Delete an API token: revoke on the remote server, then remove locally.\n"
    "\n"
    "Raises if the uid is not found in the local database.\n"
    "Raises if the server cannot be reached or returns an error.";

constexpr FunctionSpec functions[] = {
    {.name = "create_api_token",
     .params = {Param{"name", Kind::optional_str, "str | None", none_default}},
     .returns = "APITokenCreateResponse",
     .doc = create_doc,
     .body = body<create_api_token>},
    {.name = "list_keyfolio",
     .returns = "List[APITokenReadLocal]",
     .doc = "List every locally stored API token, one per user who has logged in.",
     .body = body<list_keyfolio>},
    {.name = "delete_api_token",
     .params = {Param{"api_key_uid", Kind::str, "str"}},
     .returns = "None",
     .doc = delete_doc,
     .body = body<delete_api_token>},
    {.name = "check_api_token",
     .params = {Param{"api_key_uid", Kind::str, "str"}},
     .returns = "APITokenCheckResponse",
     .doc = "Check if a locally stored API token is still valid on the remote server.",
     .body = body<check_api_token>},
};

}  // namespace

ZENTAB_MODULE(keyfolio, "zentab_api.python_api.auth.local", "zentab_api/python_api/auth/local/keyfolio.cpp", imports, functions)
