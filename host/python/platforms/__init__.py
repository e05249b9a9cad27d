"""Stand-ins for the host application's platform modules."""
