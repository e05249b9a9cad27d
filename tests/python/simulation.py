"""Test support: simulated machines, their journal, captured log records, and
the stand-ins that the module's callers pass (stat results, handles)."""

import json
import logging
import os
import shutil
import tempfile
import unittest

from replace_file import ReplaceFile


class Handle(object):
  """What IsFAT receives as `handle`: an object with a `handle` attribute."""

  def __init__(self, handle):
    self.handle = handle


class Stat(object):
  """A stat result as FindVolumeID reads it: only st_dev."""

  def __init__(self, st_dev):
    self.st_dev = st_dev


class Rebound(object):
  """Rebinds (or, with no value, deletes) a module attribute of
  windows.volumes for the duration of a with block."""

  _MISSING = object()

  def __init__(self, name, value=_MISSING):
    self.name, self.value = name, value

  def __enter__(self):
    from windows import volumes
    self.saved = getattr(volumes, self.name)
    if self.value is self._MISSING:
      delattr(volumes, self.name)
    else:
      setattr(volumes, self.name, self.value)

  def __exit__(self, *unused):
    from windows import volumes
    setattr(volumes, self.name, self.saved)


def Volume(guid, paths=(), **fields):
  """A volume object of a machine file, named \\\\?\\Volume{<guid>}\\."""
  volume = {'name': u'\\\\?\\Volume{%s}\\' % guid, 'paths': list(paths)}
  volume.update(fields)
  return volume


class CapturedLogs(logging.Handler):
  """Keeps every record that the windows.volumes logger emits."""

  def __init__(self):
    logging.Handler.__init__(self, logging.DEBUG)
    self.records = []

  def emit(self, record):
    self.records.append(record)

  def Lines(self, level=None):
    """(levelname, message) of each record, optionally of one level only."""
    return [(r.levelname, r.getMessage()) for r in self.records
            if level is None or r.levelname == level]


class SimulatedMachineTestCase(unittest.TestCase):
  """Each test gets its own machine file, journal and log capture."""

  def setUp(self):
    self.directory = tempfile.mkdtemp(prefix='volumes-test-')
    self.machine_file = os.path.join(self.directory, 'machine.json')
    self.journal_file = os.path.join(self.directory, 'journal')
    os.environ['VOLUMES_SIMULATION_JOURNAL'] = self.journal_file
    self.logs = CapturedLogs()
    self.logger = logging.getLogger('windows.volumes')
    self.logger.addHandler(self.logs)
    self.saved_level = self.logger.level
    self.logger.setLevel(logging.DEBUG)

  def tearDown(self):
    self.logger.removeHandler(self.logs)
    self.logger.setLevel(self.saved_level)
    os.environ.pop('VOLUMES_SIMULATION', None)
    os.environ.pop('VOLUMES_SIMULATION_JOURNAL', None)
    shutil.rmtree(self.directory)

  def UseMachine(self, volumes=(), **top_level):
    """Describes the machine: a new file renamed over the old one."""
    machine = dict(top_level, volumes=list(volumes))
    staging = self.machine_file + '.new'
    with open(staging, 'w') as out:
      json.dump(machine, out)
    ReplaceFile(staging, self.machine_file)
    os.environ['VOLUMES_SIMULATION'] = self.machine_file
    self.ClearJournal()

  def ClearJournal(self):
    if os.path.exists(self.journal_file):
      os.remove(self.journal_file)

  def Journal(self, call=None):
    """The journal's lines as tuples of fields, optionally of one call only."""
    if not os.path.exists(self.journal_file):
      return []
    with open(self.journal_file) as journal:
      lines = [tuple(line.rstrip('\n').split('\t')) for line in journal]
    return [line for line in lines if call is None or line[0] == call]

  def assertRaisesMessage(self, exception_type, message, function, *args,
                          **kwargs):
    """Like assertRaises, and the exception's text must be exactly `message`."""
    with self.assertRaises(exception_type) as caught:
      function(*args, **kwargs)
    self.assertEqual(str(caught.exception), message)
    return caught.exception
