"""The host application's Windows modules."""
