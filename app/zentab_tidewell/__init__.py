"""Tidewell: the local sync agent and its store."""

LOG_FILE_NAME = "tidewell.log"
