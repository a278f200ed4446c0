"""Reading and clearing the API token stored on a user's row."""
from __future__ import annotations

from typing import Any, Dict, Optional

from sqlalchemy import select
from sqlalchemy.orm import Session

from zentab_client.local.model import Users


class APITokenDAO:
    def _user(self, user_sub: Optional[str], session: Session) -> Optional[Users]:
        if not user_sub:
            return None
        return session.scalars(select(Users).where(Users.username == user_sub)).one_or_none()

    def read(self, user_sub: Optional[str], session: Session) -> Optional[Dict[str, Any]]:
        """The stored token dict (uid, name, api_token, server_url), or None if the user holds none."""
        user = self._user(user_sub, session)
        if user is None or user.api_token is None:
            return None
        return dict(user.api_token)

    def write(self, user_sub: str, token: Dict[str, Any], session: Session) -> None:
        """Store `token` on the user's row, creating the row if the user has none yet."""
        if not user_sub:
            raise ValueError("user_sub must not be empty")
        user = self._user(user_sub, session)
        if user is None:
            user = Users(username=user_sub)
            session.add(user)
        user.api_token = dict(token)
        session.flush()

    def delete(self, user_sub: Optional[str], session: Session) -> None:
        """Clear the user's token (SQL NULL); a user without a row or token is left as is."""
        user = self._user(user_sub, session)
        if user is not None and user.api_token is not None:
            user.api_token = None
            session.flush()


dao_api_token = APITokenDAO()
