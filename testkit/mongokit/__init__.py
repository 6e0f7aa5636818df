"""A MongoDB-compatible test kit: server, shell stand-in and cluster launcher."""
