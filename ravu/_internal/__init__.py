"""Package-private helpers that the extension modules import."""
