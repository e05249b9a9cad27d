"""The real Linux machine, compared with what util-linux and coreutils say."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from windows import volumes

ON_LINUX = sys.platform.startswith('linux')
VolumeInfoClass = volumes.VolumeInfo.__wrapped__


def Output(*command):
  return subprocess.check_output(command, stderr=open(os.devnull, 'w'))


def FindmntRows():
  """Every mount, as findmnt lists it, by target."""
  listing = json.loads(Output('findmnt', '--json', '--list', '--bytes',
                              '-o', 'TARGET,FSTYPE,SOURCE,SIZE'))
  return listing['filesystems']


def DfSize(path):
  return int(Output('df', '-B1', '--output=size', path).split()[1])


def MountPoints(entry):
  return volumes._GetVolumePathNamesForVolumeName(entry.device_file)


def WindowsNames(fstype):
  """The filesystem names the module may report for a findmnt type."""
  names = {'vfat': ('fat32', 'fat'), 'msdos': ('fat',), 'exfat': ('exfat',),
           'ntfs': ('ntfs',), 'ntfs3': ('ntfs',)}
  return names.get(fstype, (fstype,))


class MachineChecks(object):
  """What must hold of the table of the machine as it is now."""

  def setUp(self):
    self.service = VolumeInfoClass()
    self.table = self.service.AllVolumeEntries()
    self.findmnt = FindmntRows()

  def testEveryVolumeAgreesWithFindmntAndDf(self):
    self.assertTrue(self.table)
    for entry in self.table.values():
      mount_points = MountPoints(entry)
      self.assertIn(entry.mountpoint, mount_points)
      self.assertEqual(entry.mountpoint, min(mount_points, key=len))
      for mount_point in mount_points:
        target = mount_point.rstrip('/') or '/'
        rows = [r for r in self.findmnt if r['target'] == target]
        self.assertTrue(rows, '%s is not a mount point' % target)
        fstype = rows[-1]['fstype']   # the one mounted last is the one seen
        if not fstype.startswith('fuse'):  # FUSE's format comes from blkid
          self.assertIn(entry.filesystem, WindowsNames(fstype), target)
        self.assertEqual(entry.size, DfSize(target), target)
      self.assertTrue(volumes.VOLUME_NAME_GUID_MATCHER.match(entry.device_file))

  def testEveryBlockDeviceMountIsInTheTable(self):
    for row in self.findmnt:
      if not (row['source'] or '').startswith('/dev/'):
        continue
      target = row['target']
      if not os.path.isdir(target):
        continue
      entry = self.table.get(volumes.FindVolumeID(os.stat(target)))
      self.assertIsNotNone(entry, target)
      self.assertIn(target.rstrip('/') + '/', [p.rstrip('/') + '/' for p in MountPoints(entry)])

  def testFindVolumeIDOfEveryMountPointAndAFileBelow(self):
    for entry in self.table.values():
      for mount_point in MountPoints(entry):
        self.assertIs(volumes.FindVolumeID(os.stat(mount_point)), entry.volume)
        below = self.FileBelow(mount_point)
        if below is not None:
          self.assertIs(self.service.FindVolumeID(os.stat(below)), entry.volume, below)
          self.assertIs(self.service.GetVolumeEntryForVolumeID(
              volumes.FindVolumeID(os.stat(below))), entry)

  def FileBelow(self, directory):
    try:
      names = sorted(os.listdir(directory))
    except OSError:
      return None
    for name in names:
      path = os.path.join(directory, name)
      if os.path.isfile(path) and not os.path.islink(path):
        if os.stat(path).st_dev == os.stat(directory).st_dev:
          return path
    return None

  def testRootPathsAndHandles(self):
    root = self.table[volumes.FindVolumeID(os.stat('/'))]
    self.assertEqual(volumes.GetVolumeInformation(u'/')[1], os.stat('/').st_dev)
    self.assertEqual(volumes.GetVolumeInformation(root.device_file)[4].lower(),
                     root.filesystem)
    with self.assertRaises(WindowsError) as caught:
      volumes.GetVolumeInformation(u'/no/such/directory')
    self.assertEqual(caught.exception.winerror, 3)
    fd = os.open('/', os.O_RDONLY)
    try:
      self.assertEqual(volumes.GetVolumeInformationByHandle(fd),
                       volumes.GetVolumeInformation(u'/'))
    finally:
      os.close(fd)
    with self.assertRaises(WindowsError) as caught:
      volumes.GetVolumeInformationByHandle(fd)
    self.assertEqual(caught.exception.winerror, 6)


@unittest.skipUnless(ON_LINUX, 'the real machine is no Linux machine here')
class RealMachineTest(MachineChecks, unittest.TestCase):
  pass


class FatImages(object):
  """FAT32 and exFAT filesystems made in files and mounted on loop devices,
  by the kernel where it can and through FUSE where it cannot."""

  def __init__(self):
    self.directory = tempfile.mkdtemp(prefix='volumes-fat-')
    self.loops = []
    self.mounts = []

  def Make(self, kind):
    image = os.path.join(self.directory, kind + '.img')
    with open(image, 'wb') as out:
      out.truncate(64 << 20)
    if kind == 'fat32':
      Output('mkfs.vfat', '-F', '32', '-n', 'TESTFAT32', image)
    else:
      Output('mkfs.exfat', '-L', 'TESTEXFAT', image)
    loop = Output('losetup', '--find', '--show', image).strip()
    self.loops.append(loop)
    mount_point = os.path.join(self.directory, kind)
    os.mkdir(mount_point)
    for command in (['mount', loop, mount_point],
                    ['fusefat', '-o', 'rw+,fsname=' + loop, loop, mount_point]
                    if kind == 'fat32' else
                    ['mount.exfat-fuse', loop, mount_point]):
      if subprocess.call(command, stdout=open(os.devnull, 'w'),
                         stderr=subprocess.STDOUT) == 0:
        self.mounts.append(mount_point)
        return mount_point
    raise OSError('cannot mount a %s filesystem here' % kind)

  def Bind(self, mount_point):
    bound = mount_point + '-bound'
    os.mkdir(bound)
    Output('mount', '--bind', mount_point, bound)
    self.mounts.append(bound)
    return bound

  def Remove(self):
    for mount_point in reversed(self.mounts):
      if subprocess.call(['umount', mount_point], stderr=open(os.devnull, 'w')):
        subprocess.call(['fusermount3', '-u', mount_point])
    for loop in self.loops:
      subprocess.call(['losetup', '-d', loop])
    shutil.rmtree(self.directory, ignore_errors=True)


def WhyFatCannotBeMounted():
  if not ON_LINUX:
    return 'not a Linux machine'
  if os.geteuid() != 0:
    return 'mounting filesystem images needs root'
  for tool in ('losetup', 'mkfs.vfat', 'mkfs.exfat'):
    if not any(os.access(os.path.join(d, tool), os.X_OK)
               for d in os.environ.get('PATH', '').split(os.pathsep) + ['/sbin', '/usr/sbin']):
      return '%s is not installed' % tool
  return None


@unittest.skipIf(WhyFatCannotBeMounted(), WhyFatCannotBeMounted())
class FatFilesystemTest(MachineChecks, unittest.TestCase):
  """The machine's checks hold with these mounted too, and IsFAT sees them."""

  @classmethod
  def setUpClass(cls):
    cls.images = FatImages()
    try:
      cls.mounts = {kind: cls.images.Make(kind) for kind in ('fat32', 'exfat')}
      cls.bound = cls.images.Bind(cls.mounts['fat32'])
    except (OSError, subprocess.CalledProcessError) as error:
      cls.images.Remove()
      raise unittest.SkipTest('mounting is not allowed here: %s' % error)

  @classmethod
  def tearDownClass(cls):
    cls.images.Remove()

  def testTableAndIsFAT(self):
    table = VolumeInfoClass().AllVolumeEntries()
    for kind, label, name in [('fat32', u'TESTFAT32', 'FAT32'),
                              ('exfat', u'TESTEXFAT', 'exFAT')]:
      mount_point = self.mounts[kind]
      entry = table[volumes.FindVolumeID(os.stat(mount_point))]
      self.assertEqual((entry.mountpoint, entry.label, entry.filesystem),
                       (mount_point + '/', label, kind))
      if kind == 'fat32':
        self.assertEqual(MountPoints(entry), [mount_point + '/', self.bound + '/'])
      self.assertEqual(volumes.GetVolumeInformation(unicode(mount_point))[4], name)
      path = os.path.join(mount_point, 'file.txt')
      with open(path, 'w') as out:
        out.write('x')

      class Handle(object):
        handle = os.open(path, os.O_RDONLY)
      try:
        self.assertIs(volumes.IsFAT(os.fstat(Handle.handle).st_dev, Handle), True)
      finally:
        os.close(Handle.handle)
    fd = os.open('/', os.O_RDONLY)
    try:
      handle = type('Handle', (), {'handle': fd})()
      self.assertIs(volumes.IsFAT(os.stat('/').st_dev, handle), False)
    finally:
      os.close(fd)


if __name__ == '__main__':
  unittest.main()
