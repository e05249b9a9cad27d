"""Stand-in for the host's platform helpers: Lock."""

import threading


def Lock():
  """A lock usable in a with statement, excluding other threads while held."""
  return threading.Lock()
