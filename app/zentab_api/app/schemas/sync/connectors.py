"""Sync connectors as the API shows them."""
from pydantic import BaseModel, ConfigDict


class ConnectorRead(BaseModel):
    model_config = ConfigDict(from_attributes=True)

    name: str
    display_name: str
    version: str
    description: str
