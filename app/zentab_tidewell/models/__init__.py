"""ORM tables of the Tidewell store."""
from datetime import datetime, timezone
from typing import Any, Optional

from sqlalchemy import JSON, Boolean, DateTime, Enum, Float, ForeignKey, Integer, String, TypeDecorator
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column, relationship

from zentab_tidewell.models.enums import SyncItemStatus, SyncLoopStatus, SyncSourceStatus


def utcnow() -> datetime:
    return datetime.now(timezone.utc)


class UTCDateTime(TypeDecorator[datetime]):
    """Stored as naive UTC (SQLite has no time zones), always handed back timezone-aware."""

    impl = DateTime
    cache_ok = True

    def process_bind_param(self, value: Optional[datetime], dialect: Any) -> Optional[datetime]:
        if value is None:
            return None
        if value.tzinfo is not None:
            value = value.astimezone(timezone.utc).replace(tzinfo=None)
        return value

    def process_result_value(self, value: Optional[datetime], dialect: Any) -> Optional[datetime]:
        if value is None:
            return None
        return value.replace(tzinfo=timezone.utc)


def _enum(enum_cls: type) -> Enum:
    # Store values ("running"), not member names; no CHECK constraint so new values need no migration.
    return Enum(enum_cls, values_callable=lambda e: [m.value for m in e], native_enum=False,
                create_constraint=False, length=32)


class Base(DeclarativeBase):
    pass


class SyncStatus(Base):
    """The agent's loop state; a single row with id 1."""

    __tablename__ = "sync_status"

    id: Mapped[int] = mapped_column(Integer, primary_key=True)
    status: Mapped[SyncLoopStatus] = mapped_column(_enum(SyncLoopStatus), default=SyncLoopStatus.STOPPED)
    sync_iteration_count: Mapped[int] = mapped_column(Integer, default=0)
    last_update: Mapped[Optional[datetime]] = mapped_column(UTCDateTime, nullable=True, default=None)


class SyncStatusError(Base):
    __tablename__ = "sync_status_errors"

    id: Mapped[int] = mapped_column(Integer, primary_key=True)
    message: Mapped[str] = mapped_column(String)
    created_at: Mapped[datetime] = mapped_column(UTCDateTime, default=utcnow, index=True)
    viewed: Mapped[bool] = mapped_column(Boolean, default=False)


class SyncSource(Base):
    __tablename__ = "sync_sources"

    id: Mapped[int] = mapped_column(Integer, primary_key=True)
    name: Mapped[str] = mapped_column(String)
    connector: Mapped[str] = mapped_column(String)
    status: Mapped[SyncSourceStatus] = mapped_column(_enum(SyncSourceStatus), default=SyncSourceStatus.ACTIVE)
    owner: Mapped[Optional[str]] = mapped_column(String, nullable=True)
    default_scope: Mapped[Optional[str]] = mapped_column(String, nullable=True)
    config_data: Mapped[Optional[dict]] = mapped_column(JSON, nullable=True)

    items: Mapped[list["SyncItem"]] = relationship(back_populates="source", lazy="raise")


class SyncItem(Base):
    __tablename__ = "sync_items"

    id: Mapped[int] = mapped_column(Integer, primary_key=True)
    sync_source_id: Mapped[int] = mapped_column(ForeignKey("sync_sources.id"), index=True)
    data_identifier: Mapped[str] = mapped_column(String)
    dataset_uuid: Mapped[str] = mapped_column(String)
    scope_identifier: Mapped[str] = mapped_column(String)
    sync_priority: Mapped[float] = mapped_column(Float, default=0.0)
    has_priority: Mapped[bool] = mapped_column(Boolean, default=False)
    attempts: Mapped[int] = mapped_column(Integer, default=0)
    synchronized: Mapped[bool] = mapped_column(Boolean, default=False)
    status: Mapped[SyncItemStatus] = mapped_column(_enum(SyncItemStatus), default=SyncItemStatus.PENDING)
    last_update: Mapped[Optional[datetime]] = mapped_column(UTCDateTime, nullable=True, default=None)
    # {"logs": ["line", ...]}; replace the dict on change, in-place mutation is not tracked.
    sync_record: Mapped[Optional[dict]] = mapped_column(JSON, nullable=True, default=None)

    source: Mapped[SyncSource] = relationship(back_populates="items", lazy="raise")


__all__ = ["Base", "SyncItem", "SyncSource", "SyncStatus", "SyncStatusError", "UTCDateTime", "utcnow"]
