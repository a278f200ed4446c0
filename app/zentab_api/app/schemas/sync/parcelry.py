"""Sync items as the API shows them (camel-case names where clients expect them)."""
from datetime import datetime
from typing import Optional

from pydantic import AliasChoices, BaseModel, ConfigDict, Field

from zentab_tidewell.models.enums import SyncItemStatus


def _camel(public: str, column: str) -> AliasChoices:
    # Reads the public name or the store's column name: model_validate(orm_row) and
    # construction by keyword both work.
    return AliasChoices(public, column)


class SyncItemReadV1(BaseModel):
    model_config = ConfigDict(from_attributes=True)

    id: int
    sync_source_id: int
    dataIdentifier: str = Field(validation_alias=_camel("dataIdentifier", "data_identifier"))
    datasetUUID: str = Field(validation_alias=_camel("datasetUUID", "dataset_uuid"))
    scope_identifier: str
    syncPriority: float = Field(validation_alias=_camel("syncPriority", "sync_priority"))
    hasPriority: bool = Field(validation_alias=_camel("hasPriority", "has_priority"))
    attempts: int
    synchronized: bool
    status: SyncItemStatus
    last_update: Optional[datetime] = None
    sync_record: Optional[dict] = None


class SyncItemReadSummaryV1(BaseModel):
    model_config = ConfigDict(from_attributes=True)

    id: int
    dataIdentifier: str = Field(validation_alias=_camel("dataIdentifier", "data_identifier"))
    datasetUUID: str = Field(validation_alias=_camel("datasetUUID", "dataset_uuid"))
    syncPriority: float = Field(validation_alias=_camel("syncPriority", "sync_priority"))
    hasPriority: bool = Field(validation_alias=_camel("hasPriority", "has_priority"))
    attempts: int
    synchronized: bool
    status: SyncItemStatus
