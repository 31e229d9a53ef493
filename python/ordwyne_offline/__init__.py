"""Offline tools over ordwyne's experience logs and stored states."""
