"""Support of the hardening suites: machine files, rebindings, test doubles
and the length of the long checks."""

import json
import os
import shutil
import tempfile
import unittest

# The test doubles are the shared ones, offered here too.
from simulation import Handle, Rebound, ReplaceFile, Stat  # pylint: disable=unused-import

# VOLUMES_LONG_CHECKS=1 runs the long versions of the checks.
LONG = os.environ.get('VOLUMES_LONG_CHECKS') == '1'


def Scaled(count, long_count):
  """`count` in the test command, `long_count` behind VOLUMES_LONG_CHECKS."""
  return long_count if LONG else count


def VolumeName(guid):
  return u'\\\\?\\Volume{%s}\\' % guid


class MachineFilesTestCase(unittest.TestCase):
  """A directory of machine files; the switch and the journal restored."""

  def setUp(self):
    self.directory = tempfile.mkdtemp(prefix='volumes-hardening-')
    self.saved_environment = dict(
        (name, os.environ.get(name))
        for name in ('VOLUMES_SIMULATION', 'VOLUMES_SIMULATION_JOURNAL'))
    os.environ.pop('VOLUMES_SIMULATION_JOURNAL', None)

  def tearDown(self):
    for name, value in self.saved_environment.items():
      if value is None:
        os.environ.pop(name, None)
      else:
        os.environ[name] = value
    shutil.rmtree(self.directory)

  def WriteMachine(self, machine, name='machine.json'):
    """Writes a machine (a dict, or the file's text) by renaming a new file
    over the old one; returns its path."""
    path = os.path.join(self.directory, name)
    text = machine if isinstance(machine, str) else json.dumps(machine)
    with open(path + '.new', 'wb') as out:
      out.write(text)
    ReplaceFile(path + '.new', path)
    return path

  def UseMachine(self, machine, name='machine.json'):
    path = self.WriteMachine(machine, name)
    os.environ['VOLUMES_SIMULATION'] = path
    return path

  def assertWindowsError(self, code, function, *args):
    with self.assertRaises(WindowsError) as caught:
      function(*args)
    self.assertEqual(caught.exception.winerror, code)
