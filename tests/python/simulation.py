"""Test support: simulated machines, their journal, the log capture of every
suite, and the stand-ins that the module's callers pass (stat results and
handles, from call_paths.py)."""

import contextlib
import json
import logging
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# The command's parts.
sys.path.insert(0, os.path.join(ROOT, 'tools'))
from call_paths import Handle, Stat  # pylint: disable=g-import-not-at-top,unused-import
from volume_tool import diagnostics  # pylint: disable=g-import-not-at-top
from volume_tool import file_volume  # pylint: disable=g-import-not-at-top,unused-import
from volume_tool.replace_file import ReplaceFile  # pylint: disable=g-import-not-at-top,unused-import


def RealSerial(path):
  """The serial number of the volume that really holds `path`, as a host's
  stat result carries it: a simulated machine has that volume when it
  lists this serial number."""
  return file_volume.WithSerial(path, os.stat(path)).st_dev


def WindowsErrorText(code):
  """str() of the WindowsError of `code`, in the running system's words."""
  if os.name == 'nt':
    import ctypes  # pylint: disable=g-import-not-at-top
    return '[Error %d] %s' % (code, ctypes.FormatError(code).rstrip('.\r\n '))
  from windows import winwrap  # pylint: disable=g-import-not-at-top
  try:
    winwrap.RaiseWindowsError(code)
  except WindowsError as error:
    return str(error)


@contextlib.contextmanager
def PlatformLinesDropped():
  """Sends what the platform writes on the process's standard error (a
  refused machine file's line, at every call) nowhere, for the block."""
  with open(os.devnull, 'w') as null:
    restore = diagnostics.PointStandardError(null.fileno())
    try:
      yield
    finally:
      restore()


def WhyNoMountNamespace(*commands):
  """Why a private mount namespace, with `commands` in it, cannot be had
  here; None where it can."""
  if not sys.platform.startswith('linux'):
    return 'not a Linux machine'
  if os.geteuid() != 0:
    return 'a private mount namespace needs root here'
  with open(os.devnull, 'w') as null:
    if subprocess.call(['unshare', '-m', 'true'], stdout=null, stderr=null):
      return 'unshare -m is refused here'
    if subprocess.call(['sh', '-c', 'command -v ' + ' '.join(commands)],
                       stdout=null):
      return '%s missing' % ' or '.join(commands)
  return None


class Rebound(object):
  """Rebinds module attributes of windows.volumes for the duration of a with
  block: Rebound(name, value), Rebound(name) to delete it, or
  Rebound(name=value, ...) for several."""

  _DELETED = object()

  def __init__(self, name=None, value=_DELETED, **values):
    self.values = dict(values)
    if name is not None:
      self.values[name] = value

  def __enter__(self):
    from windows import volumes
    self.saved = dict((name, getattr(volumes, name)) for name in self.values)
    for name, value in self.values.items():
      if value is self._DELETED:
        delattr(volumes, name)
      else:
        setattr(volumes, name, value)

  def __exit__(self, *unused):
    from windows import volumes
    for name, value in self.saved.items():
      setattr(volumes, name, value)


def Scaled(count, long_count):
  """`count` in the test command, `long_count` behind VOLUMES_LONG_CHECKS=1,
  which runs the long versions of the checks."""
  return long_count if os.environ.get('VOLUMES_LONG_CHECKS') == '1' else count


def VolumeName(guid):
  return u'\\\\?\\Volume{%s}\\' % guid


def Volume(guid, paths=(), **fields):
  """A volume object of a machine file, named VolumeName(guid)."""
  return dict(fields, name=VolumeName(guid), paths=list(paths))


class CapturedLogs(logging.Handler):
  """The records that the windows.volumes logger emits during a test, from
  `level` up: the logger is set to that level, kept from passing records to
  its ancestors, and restored at the test's cleanup.  Each record is
  formatted; `on_record(record)` runs at each one; keep=False keeps none."""

  def __init__(self, test, level=logging.DEBUG, on_record=None, keep=True):
    logging.Handler.__init__(self, level)
    self.records = []
    self.on_record = on_record
    self.keep = keep
    logger = logging.getLogger('windows.volumes')
    test.addCleanup(setattr, logger, 'propagate', logger.propagate)
    test.addCleanup(logger.setLevel, logger.level)
    test.addCleanup(logger.removeHandler, self)
    logger.setLevel(level)
    logger.propagate = False
    logger.addHandler(self)

  def emit(self, record):
    record.getMessage()
    if self.keep:
      self.records.append(record)
    if self.on_record is not None:
      self.on_record(record)

  def Lines(self, level=None):
    """(levelname, message) of each record, optionally of one level only."""
    return [(r.levelname, r.getMessage()) for r in self.records
            if level is None or r.levelname == level]


class SimulatedMachineTestCase(unittest.TestCase):
  """Each test gets a directory of machine files, a journal and the module's
  log; the switch, the journal and the deadline are restored after it.  A suite that
  makes thousands of calls sets MANY_CALLS: no journal, and log records
  formatted but not kept."""

  MANY_CALLS = False
  _SWITCHES = ('VOLUMES_SIMULATION', 'VOLUMES_SIMULATION_JOURNAL',
               'VOLUMES_QUERY_TIMEOUT_MS')

  def setUp(self):
    self.directory = tempfile.mkdtemp(prefix='volumes-test-')
    self.machine_file = os.path.join(self.directory, 'machine.json')
    self.journal_file = os.path.join(self.directory, 'journal')
    self.saved_switches = [(name, os.environ.get(name))
                           for name in self._SWITCHES]
    if self.MANY_CALLS:
      os.environ.pop('VOLUMES_SIMULATION_JOURNAL', None)
    else:
      os.environ['VOLUMES_SIMULATION_JOURNAL'] = self.journal_file
    self.logs = CapturedLogs(self, keep=not self.MANY_CALLS)

  def tearDown(self):
    for name, value in self.saved_switches:
      if value is None:
        os.environ.pop(name, None)
      else:
        os.environ[name] = value
    shutil.rmtree(self.directory)

  def WriteMachine(self, machine=(), name='machine.json', **top_level):
    """Writes a machine by renaming a new file over the old one; returns its
    path.  `machine` is a list of volume objects (with the top-level keys
    as keywords), a whole machine's dict, or the file's text."""
    if isinstance(machine, (list, tuple)):
      machine = dict(top_level, volumes=list(machine))
    path = os.path.join(self.directory, name)
    with open(path + '.new', 'wb') as out:
      out.write(machine if isinstance(machine, str) else json.dumps(machine))
    ReplaceFile(path + '.new', path)
    return path

  def UseMachine(self, machine=(), name='machine.json', **top_level):
    """Writes the machine and switches to it, its journal empty."""
    path = self.WriteMachine(machine, name, **top_level)
    os.environ['VOLUMES_SIMULATION'] = path
    self.ClearJournal()
    return path

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

  def assertWindowsError(self, code, function, *args):
    with self.assertRaises(WindowsError) as caught:
      function(*args)
    self.assertEqual(caught.exception.winerror, code)
