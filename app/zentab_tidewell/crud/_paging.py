"""Offset/limit handling shared by the listing queries."""
from typing import Optional, Tuple


def normalise_paging(offset: Optional[int], limit: Optional[int]) -> Tuple[int, Optional[int]]:
    """(offset, limit) as the listings apply them.

    A negative or missing offset counts as 0; a negative or missing limit means "no
    limit" (this is also what SQLite itself does with such values); 0 gives nothing.
    """
    off = 0 if offset is None or offset < 0 else int(offset)
    lim = None if limit is None or limit < 0 else int(limit)
    return off, lim
