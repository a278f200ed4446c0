"""Tables of the client's local database."""
from typing import Any, Dict, Optional

from sqlalchemy import JSON, String
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column


class Base(DeclarativeBase):
    pass


class Users(Base):
    __tablename__ = "users"

    id: Mapped[int] = mapped_column(primary_key=True)
    # Nullable on purpose: rows of users who never had a subject exist in old databases.
    username: Mapped[Optional[str]] = mapped_column(String, unique=True, nullable=True)
    firstname: Mapped[Optional[str]] = mapped_column(String, nullable=True)
    lastname: Mapped[Optional[str]] = mapped_column(String, nullable=True)
    # none_as_null: assigning None must store SQL NULL, not the JSON text 'null',
    # or "has a token" queries (api_token IS NOT NULL) match cleared rows.
    api_token: Mapped[Optional[Dict[str, Any]]] = mapped_column(JSON(none_as_null=True), nullable=True)

    def __repr__(self) -> str:
        # Never print api_token: it carries the secret.
        has_token = self.api_token is not None
        return f"<Users id={self.id} username={self.username!r} has_token={has_token}>"


class LoginCredentials(Base):
    """The credential a user's login gave us; the server asks for it to issue a token."""

    __tablename__ = "login_credentials"

    username: Mapped[str] = mapped_column(String, primary_key=True)
    access_token: Mapped[str] = mapped_column(String)

    def __repr__(self) -> str:
        return f"<LoginCredentials username={self.username!r}>"
