"""Runs every path of the module many times and reports memory growth.

  PYTHONPATH=build/python python2.7 tests/leak_check.py [ROUNDS]

Each path of call_paths.py, and on Linux a refresh of this machine, runs a
while to warm up, then ROUNDS times (20000 unless given); the bytes that
malloc has handed out (pymalloc's arenas included) and the number of objects
the collector tracks must not grow with the rounds.  Exits 1 when a path
grew.
"""

import gc
import logging
import os
import shutil
import sys
import tempfile

# What the suites share with it, beside them.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                'python'))
import call_paths  # pylint: disable=g-import-not-at-top
from process_memory import AllocatedBytes  # pylint: disable=g-import-not-at-top
from windows import volumes  # pylint: disable=g-import-not-at-top

ROUNDS = 20000


def Swallow(function, *args, **kwargs):
  try:
    function(*args, **kwargs)
  except Exception:  # pylint: disable=broad-except
    pass


def Grew(name, function, args, kwargs, rounds):
  # Where the allocators cannot be read (under the sanitizers), the objects.
  for _ in range(1000):
    Swallow(function, *args, **kwargs)
  gc.collect()
  allocated, objects = AllocatedBytes() or 0, len(gc.get_objects())
  for _ in range(rounds):
    Swallow(function, *args, **kwargs)
  gc.collect()
  growth = (AllocatedBytes() or 0) - allocated
  object_growth = len(gc.get_objects()) - objects
  leaked = growth > 64 * 1024 or object_growth > 10
  print '%-50s %8d bytes %6d objects after %d rounds%s' % (
      name, growth, object_growth, rounds, '  GREW' if leaked else '')
  return leaked


def main():
  rounds = int(sys.argv[1]) if len(sys.argv) > 1 else ROUNDS
  directory = tempfile.mkdtemp(prefix='volumes-leak-')
  logging.getLogger('windows.volumes').addHandler(logging.NullHandler())
  logging.getLogger('windows.volumes').propagate = False
  paths = call_paths.Paths(volumes, call_paths.WriteMachines(directory))
  if sys.platform.startswith('linux'):
    service = volumes.VolumeInfo.__wrapped__()
    paths.append(('this machine', '', lambda: (
        service.AllVolumeEntries(True), volumes.GetVolumeInformation(u'/')),
                  (), {}))
  grew = []
  standard_error = os.dup(2)
  with open(os.devnull, 'w') as null:
    os.dup2(null.fileno(), 2)  # the broken file's lines
  try:
    for name, machine, function, args, kwargs in paths:
      os.environ['VOLUMES_SIMULATION'] = machine
      sys.stdout.flush()
      if Grew(name, function, args, kwargs, rounds):
        grew.append(name)
  finally:
    os.dup2(standard_error, 2)
    shutil.rmtree(directory)
  return 1 if grew else 0


if __name__ == '__main__':
  sys.exit(main())
