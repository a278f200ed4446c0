"""The application's local API: schemas, errors and helpers used by the native modules."""

LOG_FILE_NAME = "api.log"
