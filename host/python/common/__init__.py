"""Stand-ins for the host application's common modules."""
