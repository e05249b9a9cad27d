"""Eight threads on one VolumeInfo service while the machine changes: no
crash, no deadlock, every table a reader gets is one machine's whole table,
and forced refreshes racing on one generation share one rebuild.

VOLUMES_LONG_CHECKS=1 runs 25,000 rounds."""

import logging
import random
import sys
import threading
import unittest

from simulation import (CapturedLogs, Handle, Rebound, ReplaceFile, Scaled,
                        SimulatedMachineTestCase, Stat, VolumeName)
from windows import volumes

VolumeInfoClass = volumes.VolumeInfo.__wrapped__

THREADS = 8
ROUNDS = Scaled(2000, 25000)
MACHINES = 4


def Machine(generation):
  """Machine `generation`: generation + 2 volumes, serials that name it."""
  return {'volumes': [
      {'name': VolumeName('%d-%d' % (generation, n)),
       'paths': [u'%s:\\' % chr(ord('C') + n)],
       'serial': generation * 100 + n, 'handles': [generation * 100 + n],
       'filesystem': 'FAT32' if n % 2 else 'NTFS'}
      for n in range(generation + 2)]}


def KeysOf(generation):
  return sorted('serial:%d' % (generation * 100 + n)
                for n in range(generation + 2))


class CountingLock(object):
  """The service lock, counting the callers that have come to it."""

  def __init__(self):
    self.lock = threading.Lock()
    self.arrived = 0
    self.arrivals = threading.Condition(threading.Lock())

  def __enter__(self):
    with self.arrivals:
      self.arrived += 1
      self.arrivals.notify_all()
    self.lock.acquire()

  def __exit__(self, *unused):
    self.lock.release()

  def WaitFor(self, count, seconds):
    with self.arrivals:
      while self.arrived < count:
        self.arrivals.wait(seconds)
        if self.arrived < count and seconds <= 0:
          break


class Generations(object):
  """Keeps machine switches between rebuilds: a rebuild that reads the
  machine while it is being replaced sees parts of two machines, as one on
  a real machine would while a volume comes or goes."""

  def __init__(self):
    self.condition = threading.Condition(threading.Lock())
    self.rebuilding = 0

  def Rebuild(self, function, *args):
    with self.condition:
      self.rebuilding += 1
    try:
      return function(*args)
    finally:
      with self.condition:
        self.rebuilding -= 1
        self.condition.notify_all()

  def Switch(self, switch):
    with self.condition:
      while self.rebuilding:
        self.condition.wait()
      switch()


class ThreadsTest(SimulatedMachineTestCase):

  MANY_CALLS = True

  def setUp(self):
    SimulatedMachineTestCase.setUp(self)
    self.staged = [self.WriteMachine(Machine(g), 'staged%d.json' % g)
                   for g in range(MACHINES)]
    self.UseMachine(Machine(0))
    self.logs = CapturedLogs(self, logging.INFO)

  def Rebuilds(self):
    return self.logs.Lines().count(
        ('INFO', 'Refreshing volume information table.'))

  def SwitchTo(self, generation):
    """Replaces the machine file: a copy of a staged one renamed over it."""
    with open(self.staged[generation], 'rb') as staged:
      text = staged.read()
    staging = '%s.%d' % (self.machine_file, threading.current_thread().ident)
    with open(staging, 'wb') as out:
      out.write(text)
    ReplaceFile(staging, self.machine_file)

  def CheckTable(self, table, errors):
    keys = sorted(table)
    if keys not in [KeysOf(g) for g in range(MACHINES)]:
      errors.append('a table of no one machine: %r' % keys)
    for key, entry in table.items():
      if 'serial:%d' % entry.device_number != key:
        errors.append('entry %r under %s' % (entry.device_number, key))

  def Worker(self, service, number, errors, generations):
    rng = random.Random(number)
    try:
      for _ in range(ROUNDS):
        operation = rng.randrange(6)
        generation = rng.randrange(MACHINES)
        serial = generation * 100 + rng.randrange(generation + 2)
        if operation == 0:
          # The machine changes, then a forced refresh.
          generations.Switch(lambda: self.SwitchTo(generation))
          self.CheckTable(
              generations.Rebuild(service.AllVolumeEntries, True), errors)
        elif operation == 1:
          self.CheckTable(generations.Rebuild(service.AllVolumeEntries), errors)
        elif operation == 2:
          entry = service.GetVolumeEntryForVolumeID('serial:%d' % serial)
          if entry is not None and entry.device_number != serial:
            errors.append('lookup of %d gave %d' % (serial, entry.device_number))
        elif operation == 3:
          if service.FindVolumeID(Stat(serial)) != 'serial:%d' % serial:
            errors.append('FindVolumeID(%d)' % serial)
        elif operation == 4:
          if volumes.IsFAT(serial, Handle(serial)) not in (True, False):
            errors.append('IsFAT gave no bool')
        else:
          service.GetVolumeEntryForDeviceNumber(serial)
    except Exception as error:  # pylint: disable=broad-except
      errors.append('%s: %s' % (type(error).__name__, error))

  def RunThreads(self, targets, seconds):
    """Runs each target in a thread of its own; fails on a deadlock."""
    threads = [threading.Thread(target=target) for target in targets]
    for thread in threads:
      thread.start()
    for thread in threads:
      thread.join(seconds)
    self.assertFalse([t for t in threads if t.is_alive()], 'deadlock')

  def testEightThreadsWhileTheMachineChanges(self):
    service = VolumeInfoClass()
    errors = []
    generations = Generations()
    self.RunThreads([lambda n=n: self.Worker(service, n, errors, generations)
                     for n in range(THREADS)], 600)
    self.assertEqual(errors, [])
    sys.stderr.write('%d threads, %d rounds each, %d rebuilds\n' % (
        THREADS, ROUNDS,
        self.Rebuilds()))

  def testRacingForcedRefreshesShareOneRebuild(self):
    service = VolumeInfoClass()
    service.AllVolumeEntries()
    self.logs.records = []
    lock = service._lock = CountingLock()
    list_volume_names = volumes._ListVolumeNames

    def SlowListing():
      # Every caller has come to the lock before the first one rebuilds.
      lock.WaitFor(THREADS, 10)
      return list_volume_names()

    tables = []
    with Rebound(_ListVolumeNames=SlowListing):
      self.RunThreads(
          [lambda: tables.append(service.AllVolumeEntries(True))] * THREADS, 30)
    self.assertEqual(lock.arrived, THREADS)
    self.assertEqual(self.Rebuilds(), 1)
    self.assertEqual([sorted(t) for t in tables], [KeysOf(0)] * THREADS)


if __name__ == '__main__':
  unittest.main()
