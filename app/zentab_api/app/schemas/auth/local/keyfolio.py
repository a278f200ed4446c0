"""Models of the local API's token endpoints."""
from typing import Optional

from pydantic import BaseModel, ConfigDict, Field


class APITokenCreateResponse(BaseModel):
    # Validation errors would otherwise quote the input, secret included.
    model_config = ConfigDict(hide_input_in_errors=True)

    uid: str
    name: str
    api_token: str = Field(repr=False)
    server_url: Optional[str] = None


class APITokenReadLocal(BaseModel):
    """What the client holds locally, without the secret."""

    user_sub: Optional[str] = None
    user_name: Optional[str] = None
    api_key_name: Optional[str] = None
    api_key_uid: Optional[str] = None
    server_url: Optional[str] = None


class APITokenCheckResponse(BaseModel):
    valid: bool
