"""The command's own reads of a filesystem (a mount point's space, a PATH's
stat), within the deadline that the module keeps for its calls.

The deadline is VOLUMES_QUERY_TIMEOUT_MS, read as the platform layer reads
it: milliseconds from 0 to 2147483647, 5000 where it is unset or not such a
number, 0 for none.  Each read runs on a waiter thread; a read that misses
the deadline leaves its key stuck, and every later read of that key fails
at once until the stuck one returns.  There are at most MAX_WAITERS
waiters; beyond them a read fails at once.  A stuck waiter never stops the
command from ending: WaitersStuck() tells main to leave without waiting.
"""

import os
import threading
import time

DEFAULT_MS = 5000
LARGEST_MS = 2147483647
MAX_WAITERS = 8


class TimedOut(Exception):
  """The read did not answer within the deadline, or its key is stuck."""


def TimeoutMs():
  text = os.environ.get('VOLUMES_QUERY_TIMEOUT_MS', '')
  if text.isdigit() and len(text) <= 10 and int(text) <= LARGEST_MS:
    return int(text)
  return DEFAULT_MS


def Answer(key, function, *args):
  """function(*args), or TimedOut; what it raises is raised."""
  (answer,) = Answers([(key, function, args)])
  if isinstance(answer, BaseException):
    raise answer
  return answer


def Answers(reads):
  """The answer of every read (key, function, args), in order, all asked
  at once and waited for within one deadline: a value, the exception that
  it raised, or TimedOut."""
  timeout = TimeoutMs() / 1000.0
  if not timeout:
    return [_Asked(function, args) for _, function, args in reads]
  pending = [_WAITERS.Hand(key, function, args) for key, function, args in reads]
  end = time.time() + timeout
  answers = []
  for read in pending:
    answers.append(read.Wait(end) if read else TimedOut())
  return answers


def WaitersStuck():
  """Whether a read still waits after its caller gave up on it."""
  return _WAITERS.AnyStuck()


def _Asked(function, args):
  try:
    return function(*args)
  except Exception as error:  # pylint: disable=broad-except
    return error


class _Read(object):

  def __init__(self, key, function, args):
    self.key = key
    self.function = function
    self.args = args
    self.done = threading.Event()
    self.answer = None
    self.started = False
    self.abandoned = False

  def Wait(self, end):
    """The answer, or TimedOut once `end` passed first."""
    self.done.wait(max(0, end - time.time()))
    with _WAITERS.lock:
      if self.done.is_set():
        return self.answer
      if self.started:
        self.abandoned = True
        _WAITERS.stuck.add(self.key)
      else:
        # Never begun, as every waiter was busy: nothing of it waits.
        _WAITERS.queue.remove(self)
    return TimedOut()


class _Waiters(object):
  """The waiter threads, their queue and the stuck keys, under one lock
  that nobody holds while reading."""

  def __init__(self):
    self.lock = threading.Lock()
    self.queue = []
    self.wake = threading.Condition(self.lock)
    self.threads = 0
    self.idle = 0
    self.stuck = set()

  def Hand(self, key, function, args):
    """A _Read queued for a waiter; None when the key is stuck, or when
    every waiter is held by a stuck read."""
    with self.lock:
      if key in self.stuck:
        return None
      if self.idle <= len(self.queue):
        if self.threads < MAX_WAITERS:
          waiter = threading.Thread(target=self._Serve, name='volume-reader')
          waiter.daemon = True
          waiter.start()
          self.threads += 1
          self.idle += 1
        elif len(self.stuck) >= MAX_WAITERS:
          return None
      read = _Read(key, function, args)
      self.queue.append(read)
      self.wake.notify()
      return read

  def AnyStuck(self):
    with self.lock:
      return bool(self.stuck)

  def _Serve(self):
    with self.lock:
      while True:
        while not self.queue:
          self.wake.wait()
        read = self.queue.pop(0)
        read.started = True
        self.idle -= 1
        self.lock.release()
        try:
          read.answer = _Asked(read.function, read.args)
        finally:
          self.lock.acquire()
        read.done.set()
        if read.abandoned:
          self.stuck.discard(read.key)
        self.idle += 1


_WAITERS = _Waiters()
