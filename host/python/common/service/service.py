"""Stand-in for the host's service framework: the Singleton decorator."""

import functools
import threading


class Singleton(object):
  """Class decorator: calling the decorated class gives its one instance.

  The class itself stays reachable as __wrapped__.
  """

  def __init__(self, cls):
    self.__wrapped__ = cls
    functools.update_wrapper(self, cls, updated=())
    self._instance = None
    self._lock = threading.Lock()

  def __call__(self):
    with self._lock:
      if self._instance is None:
        self._instance = self.__wrapped__()
      return self._instance
