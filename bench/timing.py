"""Per-call costs measured as a careful benchmark does on a noisy machine.

Each statement is written out REPEAT times in the body of a generated loop
(no lambda or call between the timer and the statement), the same loop with
an empty body is timed in every round and subtracted, the clock is the
process's CPU time, and every round runs every case once in a fresh random
order, so that a slow moment of the machine falls on all of them alike.
"""

import ctypes
import itertools
import random
import sys
import time

REPEAT = 20

if sys.platform == 'win32':
  # QueryPerformanceCounter, which no change of the system's time moves.
  # The process's CPU time (GetProcessTimes) counts in scheduler ticks of
  # 15.6 ms, far coarser than a sample: this clock stands in for it too,
  # and counts whatever else the machine does meanwhile.
  CpuTime = WallTime = time.clock
else:
  CLOCK_MONOTONIC = 1
  CLOCK_PROCESS_CPUTIME_ID = 2

  class _Timespec(ctypes.Structure):
    _fields_ = [('tv_sec', ctypes.c_long), ('tv_nsec', ctypes.c_long)]

  _libc = ctypes.CDLL(None, use_errno=True)
  _clock_gettime = _libc.clock_gettime
  _clock_gettime.argtypes = [ctypes.c_int, ctypes.POINTER(_Timespec)]
  _now = _Timespec()
  _now_ref = ctypes.byref(_now)

  def _Clock(clock):
    if _clock_gettime(clock, _now_ref) != 0:
      raise OSError(ctypes.get_errno(), 'clock_gettime failed')
    return _now.tv_sec + _now.tv_nsec * 1e-9

  def CpuTime():
    """Seconds of CPU time that this process has used, user and system."""
    return _Clock(CLOCK_PROCESS_CPUTIME_ID)

  def WallTime():
    """Seconds of a clock that no change of the system's time moves."""
    return _Clock(CLOCK_MONOTONIC)


Sleep = time.sleep


def Percentile(values, fraction):
  ordered = sorted(values)
  position = (len(ordered) - 1) * fraction
  low = int(position)
  high = min(low + 1, len(ordered) - 1)
  return ordered[low] + (ordered[high] - ordered[low]) * (position - low)


def Summary(values):
  """Median and spread of one case's figures over the rounds."""
  return {
      'median': Percentile(values, 0.5),
      'q1': Percentile(values, 0.25),
      'q3': Percentile(values, 0.75),
      'min': min(values),
      'max': max(values),
      'rounds': len(values),
  }


def MakeLoop(statement, names, global_values=None, repeat=REPEAT):
  """A function run(n, *values) that executes `statement` n * repeat times,
  the statement reading `names` as local variables bound to `values`, and
  the names of `global_values` as the globals of the function's module."""
  lines = ['def run(_n, _repeat, %s):' % ', '.join(names) if names else
           'def run(_n, _repeat):',
           '  for _ in _repeat(None, _n):']
  lines += ['    ' + statement] * repeat
  namespace = dict(global_values or {})
  exec compile('\n'.join(lines) + '\n', '<loop %s>' % statement, 'exec') in namespace
  return namespace['run']


class Case(object):
  """One statement to time, with the values of the names it reads: `values`
  as local variables, `global_values` as module globals."""

  def __init__(self, key, statement, global_values=None, **values):
    self.key = key
    self.statement = statement
    self.names = sorted(values)
    self.values = [values[name] for name in self.names]
    self.run = MakeLoop(statement, self.names, global_values)
    self.iterations = 1

  def Time(self, iterations):
    run, values, repeat = self.run, self.values, itertools.repeat
    start = CpuTime()
    run(iterations, repeat, *values)
    return CpuTime() - start


class _Empty(Case):

  def __init__(self):
    Case.__init__(self, 'empty loop', 'pass')


def Calibrate(case, sample_seconds):
  """Chooses the iterations that make one sample last about sample_seconds."""
  case.Time(1)  # warms the caches of what the statement reads
  iterations = 1
  while True:
    elapsed = case.Time(iterations)
    if elapsed >= sample_seconds / 4:
      break
    iterations *= 4
  case.iterations = max(1, int(iterations * sample_seconds / elapsed))


def TimeCases(cases, rounds, sample_seconds=0.004, seed=12, progress=None):
  """Nanoseconds per statement for every case, over interleaved rounds.

  Returns ({key: [ns per call, one figure per round]}, [empty-loop ns per
  iteration per round]).  A round's figure is the case's time per
  iteration less that round's empty loop, divided by REPEAT.
  """
  empty = _Empty()
  for case in [empty] + list(cases):
    Calibrate(case, sample_seconds)
  chooser = random.Random(seed)
  per_call = dict((case.key, []) for case in cases)
  empty_figures = []
  for round_number in range(rounds):
    order = [empty] + list(cases)
    chooser.shuffle(order)
    elapsed = {}
    for case in order:
      elapsed[case.key] = case.Time(case.iterations) / case.iterations
    empty_per_iteration = elapsed[empty.key]
    empty_figures.append(empty_per_iteration * 1e9)
    for case in cases:
      per_call[case.key].append(
          (elapsed[case.key] - empty_per_iteration) / REPEAT * 1e9)
    if progress:
      progress(round_number + 1, rounds)
  return per_call, empty_figures
