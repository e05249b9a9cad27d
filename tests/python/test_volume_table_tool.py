# -*- coding: utf-8 -*-
"""tools/volume_table.py, run as a user runs it."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from simulation import (ROOT, RealSerial, SimulatedMachineTestCase, Volume,
                        WindowsErrorText)
from volume_tool import file_volume  # pylint: disable=g-import-not-at-top
from volume_tool import text  # pylint: disable=g-import-not-at-top

TOOL = os.path.join(ROOT, 'tools', 'volume_table.py')
WORKSTATION = os.path.join(ROOT, 'examples', 'workstation.json')


def RunTool(args, cwd=None, command=None, env=None):
  """(status, stdout, stderr) of the command, with standard output a pipe,
  both read as text."""
  process = subprocess.Popen(
      (command or [sys.executable, TOOL]) + list(args), cwd=cwd, env=env,
      stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
  out, err = process.communicate()
  return process.returncode, out, err


def BadSerialLine(machine_file):
  """The platform's line about a machine file whose first serial is -1."""
  return ('volume simulation: %s: volumes[0].serial: must be an integer from '
          '0 to 4294967295\n' % machine_file)


class ToolTestCase(SimulatedMachineTestCase):


  def Run(self, *args, **kwargs):
    return RunTool(args, **kwargs)

  def Table(self, *args):
    status, out, err = self.Run(*args)
    self.assertEqual((status, err), (0, ''))
    return out.decode('utf-8').splitlines()

  def Json(self, *args):
    status, out, err = self.Run('--json', *args)
    self.assertEqual((status, err), (0, ''))
    return json.loads(out)['volumes']


class WorkstationTableTest(ToolTestCase):
  """The simulated workstation, as the table shows it."""

  def setUp(self):
    ToolTestCase.setUp(self)
    os.environ['VOLUMES_SIMULATION'] = WORKSTATION

  def testDefaultTable(self):
    lines = self.Table()
    self.assertEqual(lines[0].split(), [
        'MOUNTPOINTS', 'LABEL', 'FSTYPE', 'TYPE', 'SIZE', 'USED', 'AVAIL',
        'USE%', 'VOLUME', 'GUIDPATH', 'STATE'])
    # Every mount point: E:'s folder mount on a line of its own below it.
    self.assertEqual([line.split()[0] for line in lines[1:]], [
        'C:\\', 'D:\\', 'E:\\', 'C:\\mnt\\usb\\', 'F:\\', 'R:\\', 'Z:\\'])
    self.assertEqual(lines[4].strip(), 'C:\\mnt\\usb\\')
    self.assertEqual(lines[1].split(), [
        'C:\\', 'Windows', 'ntfs', 'INTERNAL', '476G', 'serial:3463516347',
        '\\\\?\\Volume{5d3a1c2e-0000-0000-0000-501f00000000}\\', 'ok'])
    # Sizes right-aligned, as df and lsblk align them.
    size_end = lines[0].index('SIZE') + len('SIZE')
    self.assertEqual([line[size_end - 4:size_end] for line in lines[1:4]],
                     ['476G', '4.4G', ' 30G'])

  def testColumnsHeadingsRawAndBytes(self):
    self.assertEqual(self.Table('-o', 'mountpoint,Size', '-n', '-b')[:2],
                     ['C:\\   511101108224', 'D:\\     4700372992'])
    self.assertEqual(self.Table('-o', '+uuid', '-r')[3].split(' '), [
        'E:\\x5c\\x0aC:\\x5cmnt\\x5cusb\\x5c', 'KINGSTON', 'fat32',
        'REMOVABLE', '30G', '', '', '', 'serial:1223812934',
        '\\x5c\\x5c?\\x5cVolume{c7a9e0f4-6f1d-11ef-b7d3-f8e43b1a2c55}\\x5c',
        'ok', 'c7a9e0f4-6f1d-11ef-b7d3-f8e43b1a2c55'])
    status, out, err = self.Run('-o', 'LABEL,NAME')
    self.assertEqual((status, out), (2, ''))
    self.assertIn('unknown column: NAME', err)

  def testJson(self):
    entries = self.Json()
    self.assertEqual([e['filesystem'] for e in entries],
                     ['ntfs', 'udf', 'fat32', 'exfat', 'fat32', 'ntfs'])
    usb = entries[2]
    self.assertEqual(usb, {
        'volume': 'serial:1223812934', 'mountpoint': 'E:\\',
        'mountpoints': ['E:\\', 'C:\\mnt\\usb\\'], 'label': 'KINGSTON',
        'filesystem': 'fat32', 'device_type': 'REMOVABLE',
        'size': 31440502784, 'used': None, 'avail': None, 'use%': None,
        'device_file':
            '\\\\?\\Volume{c7a9e0f4-6f1d-11ef-b7d3-f8e43b1a2c55}\\',
        'uuid': 'c7a9e0f4-6f1d-11ef-b7d3-f8e43b1a2c55',
        'device_number': 1223812934, 'ro': True, 'maxcomp': 255,
        'flags': {'value': 0x2180006, 'names': [
            'CASE_PRESERVED_NAMES', 'UNICODE_ON_DISK', 'READ_ONLY_VOLUME',
            'SEQUENTIAL_WRITE_ONCE', 'SUPPORTS_USN_JOURNAL']},
        'target': None, 'state': 'ok'})

  def testReadableLog(self):
    status, _, err = self.Run('-v', '-o', 'VOLUME')
    self.assertEqual(status, 0)
    lines = err.splitlines()
    start = lines.index('INFO Got new volume entries: 6')
    self.assertEqual(
        lines[start + 1],
        '  serial:3463516347 mountpoint=C:\\ label="Windows" filesystem=ntfs '
        'device_type=INTERNAL size=511101108224 device_file=\\\\?\\Volume'
        '{5d3a1c2e-0000-0000-0000-501f00000000}\\ uuid=5d3a1c2e-0000-0000-'
        '0000-501f00000000 device_number=3463516347 model=None')
    self.assertTrue(lines[start + 7].startswith(
        'INFO Volume information refresh complete in '))
    self.assertIn('DEBUG Volume \\\\?\\Volume{5d3a1c2e-0000-0000-0000-'
                  '100000000000}\\ has no mount point. Skipping.', lines)

  def testHelpNamesTheEnvironmentAndTheExitStatuses(self):
    out = '\n'.join(self.Table('--help'))
    for word in ('VOLUMES_SIMULATION', 'VOLUMES_SIMULATION_JOURNAL',
                 'exit status', 'MOUNTPOINTS', 'USE%'):
      self.assertIn(word, out)


class NamesTest(ToolTestCase):
  """Names that would break a row: wide, control and undecodable ones."""

  def testWideLabelAndNewlineStayAlignedOnOneRow(self):
    self.UseMachine([
        Volume('a', [u'/mnt/a\nb/'], serial=1, label=u'\u8cc7\u6599',
               filesystem='NTFS'),
        Volume('b', [u'/u/'], serial=2, label=u'USB', filesystem='vfat'),
        Volume('c', [u'/c/'], serial=3, label=u'e\u0301t\u00e9\x1b[2J',
               filesystem='ext4')])
    self.assertEqual(self.Table('-o', 'LABEL,FSTYPE,MOUNTPOINT'), [
        u'LABEL       FSTYPE  MOUNTPOINT',
        u'e\u0301t\u00e9\\x1b[2J  ext4    /c/',
        u'\u8cc7\u6599        ntfs    /mnt/a\\x0ab/',
        u'USB         vfat    /u/'])

  def testUndecodablePathWithJsonAndInTheTable(self):
    # A byte that is not UTF-8 shows as \xff; on Windows, where names in
    # bytes are in the ANSI code page, as that code page's character.
    name = 'bad\xffdir'
    shown = name.decode('mbcs') if os.name == 'nt' else u'bad\\xffdir'
    odd = os.path.join(self.directory, name)
    os.mkdir(odd)
    self.UseMachine([Volume('t', [u'T:\\'], serial=RealSerial(odd),
                            label=u'Here')])
    status, out, err = self.Run('--json', odd)
    self.assertEqual((status, err), (0, ''))
    found = json.loads(out)['volumes']
    shown = os.path.join(self.directory.decode('utf-8'), shown)
    self.assertEqual([(e['path'], e['label']) for e in found],
                     [(shown, u'Here')])
    lines = self.Table('-o', 'PATH,LABEL', odd)
    self.assertEqual(lines[1], shown + u'  Here')

  def testTextHelpers(self):
    self.assertEqual([text.HumanSize(n) for n in (
        0, 1023, 1024, 4096, 10 * 1024 - 1, 10 * 1024, 1024 * 1024 - 1,
        int(9.55 * 2 ** 30), 511101108224, 2 ** 63)], [
            '0', '1023', '1.0K', '4.0K', '10K', '10K', '1.0M', '9.6G',
            '476G', '8.0E'])
    self.assertEqual(text.Safe(u'a b\\\u202e\u3042', raw=True),
                     u'a\\x20b\\x5c\\xe2\\x80\\xae\u3042')
    self.assertEqual(text.Safe(u'\u00e9\u3042', encoding='ascii'),
                     u'\\xc3\\xa9\\xe3\\x81\\x82')
    self.assertEqual(text.DisplayWidth(u'\u3042e\u0301'), 3)


class PathsTest(ToolTestCase):

  def testPathsNameTheirVolume(self):
    here = RealSerial(TOOL)
    missing = os.path.join(self.directory, 'no', 'such', 'path')
    self.UseMachine([Volume('t', [u'T:\\'], serial=here, label=u'Here')])
    status, out, err = self.Run('--json', TOOL, missing)
    self.assertEqual(status, 1)
    self.assertEqual([(e['path'], e['label']) for e in
                      json.loads(out)['volumes']], [(TOOL, 'Here')])
    with self.assertRaises(OSError) as stat_error:
      os.stat(missing)
    self.assertEqual(err, 'volume_table: %s: %s\n' % (
        missing, stat_error.exception.strerror))

    self.UseMachine([Volume('t', [u'T:\\'], serial=here + 1)])
    status, out, err = self.Run(TOOL)
    self.assertEqual((status, out), (1, ''))
    self.assertEqual(err, 'volume_table: %s: its volume serial:%d is not in '
                     'the volume table\n' % (TOOL, here))

  def RelativeCaller(self):
    """A directory on another volume than the repository's, or a skip."""
    candidates = ([tempfile.gettempdir()] if os.name == 'nt' else
                  ['/dev/shm'])
    candidates = [directory for directory in candidates
                  if os.path.isdir(directory) and os.access(directory, os.W_OK)
                  and RealSerial(directory) != RealSerial(ROOT)]
    if not candidates:
      self.skipTest('no writable directory off the repository\'s volume')
    caller = tempfile.mkdtemp(prefix='volumes-caller-', dir=candidates[0])
    self.addCleanup(shutil.rmtree, caller)
    machine = {'volumes': [
        Volume('r', [u'/repo/'], serial=RealSerial(ROOT), label=u'repo'),
        Volume('c', [u'/caller/'], serial=RealSerial(caller),
               label=u'caller')]}
    with open(os.path.join(caller, 'machine.json'), 'w') as out:
      json.dump(machine, out)
    os.environ['VOLUMES_SIMULATION'] = 'machine.json'
    return caller

  def testRelativePathAndMachineFileFromAnotherDirectory(self):
    caller = self.RelativeCaller()
    status, out, err = self.Run('-o', 'PATH,LABEL', '-n', '.', cwd=caller)
    self.assertEqual((status, out, err), (0, '.  caller\n', ''))

  @unittest.skipIf(os.name == 'nt', 'run.sh is a POSIX shell script')
  def testRunShDoesNotLeaveTheCallersDirectory(self):
    caller = self.RelativeCaller()
    # run.sh beside a stand-in for the setup, so that the test never builds.
    checkout = tempfile.mkdtemp(prefix='volumes-checkout-')
    self.addCleanup(shutil.rmtree, checkout)
    shutil.copy(os.path.join(ROOT, 'run.sh'), checkout)
    os.mkdir(os.path.join(checkout, 'scripts'))
    with open(os.path.join(checkout, 'scripts', 'setup-main.sh'), 'w') as out:
      out.write('#!/bin/sh\n')
    os.chmod(os.path.join(checkout, 'scripts', 'setup-main.sh'), 0o755)
    os.symlink(os.path.join(ROOT, 'tools'), os.path.join(checkout, 'tools'))
    os.symlink(BuildTree(), os.path.join(checkout, 'build'))
    status, out, err = self.Run(
        '-o', 'PATH,LABEL', '-n', '.', cwd=caller,
        command=[os.path.join(checkout, 'run.sh')],
        env=dict(os.environ, PYTHON2_ROOT=sys.prefix))
    self.assertEqual((status, out, err), (0, '.  caller\n', ''))


def BuildTree():
  """build/, where the module under test was built."""
  import windows  # pylint: disable=g-import-not-at-top
  return os.path.dirname(os.path.dirname(os.path.dirname(
      os.path.abspath(windows.__file__))))


class UnusableMachineFileTest(ToolTestCase):

  def testPlatformsLineShownOnceAsItIs(self):
    self.UseMachine([Volume('a', serial=-1), Volume('b')])
    self.assertEqual(self.Run(), (2, '', BadSerialLine(self.machine_file)))

  def testMissingFileAndDirectory(self):
    os.environ['VOLUMES_SIMULATION'] = os.path.join(self.directory, 'none')
    status, _, err = self.Run()
    self.assertEqual((status, err.count('\n')), (2, 1))
    self.assertTrue(err.startswith('volume simulation: %s: ' %
                                   os.path.join(self.directory, 'none')), err)
    self.assertNotIn('corrupt', err)
    os.environ['VOLUMES_SIMULATION'] = self.directory
    self.assertEqual(self.Run(), (2, '', (
        'volume_table: VOLUMES_SIMULATION=%s is a directory, not a machine '
        'file\n' % self.directory)))

  def testOtherListingFailuresKeepWindowsWords(self):
    for code in (5, 1610):  # 1610 from a good file: no platform line says why
      self.UseMachine([Volume('a')], find_first_error=code)
      self.assertEqual(self.Run(), (2, '', 'volume_table: cannot list the '
                                    'volumes: %s\n' % WindowsErrorText(code)))


class RealMachineSpaceTest(ToolTestCase):

  def testUsedAndAvailableBesideTheSize(self):
    os.environ.pop('VOLUMES_SIMULATION', None)
    (volume,) = self.Json(ROOT)
    self.assertEqual(volume['mountpoint'].rstrip('/\\'),
                     file_volume.VolumeRoot(ROOT).rstrip('/\\'))
    self.assertTrue(0 < volume['used'] + volume['avail'] <= volume['size'])
    self.assertEqual(volume['use%'], -(-volume['used'] * 100 //
                                       (volume['used'] + volume['avail'])))


class ViewsTest(ToolTestCase):
  """The filters, -A, the flags and TARGET, on one simulated machine."""

  MACHINE = [
      Volume('a', [u'/a/'], serial=1, filesystem='ext4', flags=0x84001,
             max_component_length=12),
      Volume('b', [u'/b/'], serial=2, drive_type=4),
      Volume('c', [u'/c/'], serial=3, filesystem='tmpfs', drive_type=6),
      Volume('n', serial=4),
      Volume('d', [u'/d/'], serial=5, fail={'info': 5}),
      Volume('x', [u'/x/'], serial=6, fail={'info': 1117}),
      Volume('s', [u'/s/'], serial=7, stall={'info': 3000})]

  def setUp(self):
    ToolTestCase.setUp(self)
    self.UseMachine(self.MACHINE)
    os.environ['VOLUMES_QUERY_TIMEOUT_MS'] = '200'

  def Rows(self, *args):
    self.ClearJournal()
    status, out, _ = self.Run('-r', '-n', '-o', 'GUIDPATH,STATE', *args)
    self.assertEqual(status, 0)
    return [tuple(line.split(' ', 1)) for line in out.decode('utf-8').splitlines()]

  def CommandCalls(self, guid):
    """The calls of the command's own about a volume: those beyond what the
    table's refresh asks of a volume that it skips or keeps."""
    name = Volume(guid)['name'].encode('utf-8')
    calls = [call[0] for call in self.Journal() if call[1:2] == (name,)]
    refresh = {'n': 1, 'd': 2, 'x': 2, 's': 2}.get(guid, 4)
    return len(calls) - refresh

  def testFiltersAndEveryVolume(self):
    guid = lambda letter: Volume(letter)['name'].replace('\\', '\\x5c')
    ok, timed_out = 'ok', 'timed\\x20out'
    # The shown volumes, and those that a filter leaves out: these the
    # command asks nothing of its own.  A volume that the table left out is
    # of no known filesystem or type.
    for args, shown, unasked in [
        ((), [('a', ok), ('b', ok), ('c', ok), ('s', timed_out)], ''),
        (('-A',), [('n', 'no\\x20mount\\x20point'), ('a', ok), ('b', ok),
                   ('c', ok), ('d', 'access\\x20denied'),
                   ('s', timed_out), ('x', WindowsErrorText(1117).split('] ')[1]
                                      .replace(' ', '\\x20'))], ''),
        (('-t', 'EXT4,tmpfs'), [('a', ok), ('c', ok)], 'bdnsx'),
        (('-t', 'noext4,tmpfs'), [('b', ok), ('s', timed_out)], 'ac'),
        (('--local', '-A'), [('a', ok), ('c', ok)], 'bdnsx')]:
      rows = self.Rows(*args)
      self.assertEqual(rows, [(guid(letter), state) for letter, state in shown],
                       args)
      for letter in unasked:
        self.assertEqual(self.CommandCalls(letter), 0, (args, letter))

  def testFlagsReadOnlyAndTarget(self):
    status, out, _ = self.Run('-r', '-n', '-t', 'ext4', '-o',
                              'MOUNTPOINT,RO,FLAGS,MAXCOMP')
    self.assertEqual((status, out), (0, '/a/ 1 CASE_SENSITIVE_SEARCH,0x4000,'
                                        'READ_ONLY_VOLUME 12\n'))
    (record,) = json.loads(self.Run('-J', '-t', 'ext4')[1])['volumes']
    self.assertEqual((record['ro'], record['flags'], record['maxcomp'],
                      record['target'], record['state']),
                     (True, {'value': 0x84001, 'names': [
                         'CASE_SENSITIVE_SEARCH', '0x4000', 'READ_ONLY_VOLUME']},
                      12, None, 'ok'))
    # A PATH's TARGET: the longest of its volume's mount points that holds
    # it, this machine's where the simulated one's are.
    here = os.path.dirname(os.path.abspath(__file__))
    root = os.path.splitdrive(here)[0] + os.sep
    self.UseMachine([Volume('h', [root, here + os.sep, here + os.sep + 'x' + os.sep],
                            serial=RealSerial(here))])
    (found,) = self.Json(os.path.join(here, 'simulation.py'))
    self.assertEqual((found['mountpoint'], found['target']),
                     (root, here + os.sep))
    self.assertEqual(self.Table('-n', '-o', 'TARGET', here)[0].strip(),
                     here + os.sep)


if __name__ == '__main__':
  unittest.main()
