"""The locally kept description of an API token."""
from typing import Optional

from pydantic import BaseModel, ConfigDict, Field


class APIKeyInfo(BaseModel):
    # Validation errors would otherwise quote the input, secret included.
    model_config = ConfigDict(hide_input_in_errors=True)

    uid: str
    name: str
    api_token: str = Field(repr=False)
    server_url: Optional[str] = None
