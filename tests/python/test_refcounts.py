"""Every function and method, on its success path and on each error path,
called many times: the reference counts of its arguments and of the shared
objects it returns unchanged, and the collector's objects, the allocators'
bytes, the resident memory and the open handles flat.

VOLUMES_LONG_CHECKS=1 makes 100,000 calls of each path."""

import gc
import os
import sys
import unittest

from simulation import PlatformLinesDropped, Scaled, SimulatedMachineTestCase
from windows import volumes
# On the path that simulation makes:
import call_paths  # pylint: disable=g-bad-import-order
import process_memory  # pylint: disable=g-bad-import-order

CALLS = Scaled(5000, 100000)
WARM_UP = 200
# Growth allowed over CALLS calls after the warm-up: less than a block a
# call, so that a leak of one small object per call shows.
MALLOC_SLACK = 16 * 1024
RESIDENT_SLACK = 1024 * 1024


def Snapshot(watched):
  """What must stay flat; measured the same way each time, so that what the
  measuring itself holds cancels out."""
  gc.collect()
  return {'objects': len(gc.get_objects()),
          'refcounts': map(sys.getrefcount, watched),
          'malloc': process_memory.AllocatedBytes() or 0,
          'resident': process_memory.ResidentBytes() or 0,
          'handles': process_memory.OpenHandles() or 0}


class RefcountTest(SimulatedMachineTestCase):

  MANY_CALLS = True

  def Paths(self):
    """(name, machine, callable, args, kwargs) of every path to run."""
    paths = call_paths.Paths(volumes, call_paths.WriteMachines(self.directory))
    # Pays for what the measuring loop makes once, on its first round.
    return [(None, paths[0][1], len, ((),), {})] + paths

  def testEveryCallableHasAPath(self):
    named = set(path[0].split()[0] for path in self.Paths()[1:])
    self.assertEqual(named, set(call_paths.CallableNames(volumes)))

  def testCountsAndMemoryStayFlat(self):
    grown = []
    with PlatformLinesDropped():
      paths, calls = self.RunPaths(self.Paths(), grown)
    sys.stderr.write('%d paths, %d calls\n' % (paths, calls))
    self.assertEqual(grown, [])

  def RunPaths(self, paths, grown):
    calls = 0
    # Every name the loop binds exists before the first measurement, so the
    # first path is measured as the others are.
    before = after = growth = outcome = watched = Snapshot([])
    for name, machine, function, args, kwargs in paths:
      os.environ['VOLUMES_SIMULATION'] = machine
      watched = list(args) + kwargs.values() + [None, True, False]
      outcome = self.Outcome(function, args, kwargs)
      for _ in range(WARM_UP):
        self.Outcome(function, args, kwargs)
      if not isinstance(outcome, type):
        watched.append(outcome)  # a shared result: cached IDs, True, None
      before = Snapshot(watched)
      for _ in range(CALLS):
        self.assertEqual(self.Outcome(function, args, kwargs).__class__,
                         outcome.__class__, name)
      if name is not None:
        calls += CALLS + WARM_UP + 1
      after = Snapshot(watched)
      growth = dict((key, after[key] - before[key])
                    for key in ('objects', 'malloc', 'resident', 'handles'))
      growth['refcounts'] = [a - b for a, b in zip(after['refcounts'],
                                                   before['refcounts'])]
      if (any(growth['refcounts']) or growth['objects'] > 0 or
          growth['malloc'] > MALLOC_SLACK or growth['handles'] > 0 or
          (not process_memory.SANITIZED and
           growth['resident'] > RESIDENT_SLACK)):
        if name is not None:
          grown.append((name, growth))
    return len(paths) - 1, calls

  def Outcome(self, function, args, kwargs):
    """The result, or the exception's class for a call that raises."""
    try:
      result = function(*args, **kwargs)
    except Exception as error:  # pylint: disable=broad-except
      return error.__class__
    # Results that the module makes anew each call say nothing alone: keep
    # only those it shares (interned IDs, True, False, None).
    if isinstance(result, (bool, type(None))) or sys.getrefcount(result) > 3:
      return result
    return object()


if __name__ == '__main__':
  unittest.main()
