"""The module's table of one machine as root and as an unprivileged user.

The mounts are made in a private mount namespace (unshare -m) of the test's
own: an ext4 image with a label and UUID, a filesystem below a directory that
only root may search, an overlay, and a FUSE mount whose daemon died.  Both
users print the table with tools/volume_table.py --json -v.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from simulation import WhyNoMountNamespace
from windows import volumes

REPOSITORY = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
UUID = '5e1ec7ed-1111-4000-8000-0000000000bb'
SKIPPED = "Unable to fetch volume info for u'%s', skipping."

# Run by sh in the namespace: $1 the test's directory, $2 the interpreter's
# prefix, $3 the importable tree.
SCENARIO = r'''
set -eu
T=$1
mount -t tmpfs volumes-test /run
mkdir -p /run/blkid
truncate -s 32M $T/ext4.img
mkfs.ext4 -q -L MODULELABEL -U %(uuid)s $T/ext4.img
mkdir $T/disk && mount -o loop $T/ext4.img $T/disk
mkdir -p $T/locked/inside && chmod 700 $T/locked
mount -t tmpfs volumes-test $T/locked/inside
mkdir $T/lower $T/layers $T/merged
mount -t tmpfs volumes-test $T/layers
mkdir $T/layers/upper $T/layers/work
mount -t overlay overlay \
  -o lowerdir=$T/lower,upperdir=$T/layers/upper,workdir=$T/layers/work $T/merged
if command -v fusefat >/dev/null && command -v mkfs.vfat >/dev/null; then
  truncate -s 32M $T/fat.img && mkfs.vfat $T/fat.img >/dev/null
  mkdir $T/fuse
  fusefat -f -o ro,fsname=$T/fat.img $T/fat.img $T/fuse 2>/dev/null &
  daemon=$!
  for i in $(seq 100); do mountpoint -q $T/fuse && break; sleep 0.05; done
  if mountpoint -q $T/fuse; then touch $T/out/fuse-mounted; fi
  kill -9 $daemon; wait $daemon || true
fi
# No udev links here: publish the UUIDs in libblkid's cache, as blkid does.
blkid >/dev/null || true
mkdir $T/python && mount --bind $2 $T/python
# (its libpython is found through the copy, not under /root)
export PYTHONPATH=$3 PYTHONDONTWRITEBYTECODE=1 LD_LIBRARY_PATH=$T/python/lib
$T/python/bin/python2.7 $3/volume_table.py --json -v >$T/out/root.json 2>$T/out/root.log
setpriv --reuid=65534 --regid=65534 --clear-groups \
  $T/python/bin/python2.7 $3/volume_table.py --json -v >$T/out/nobody.json 2>$T/out/nobody.log
''' % {'uuid': UUID}


@unittest.skipIf(WhyNoMountNamespace('setpriv', 'mkfs.ext4'),
                 WhyNoMountNamespace('setpriv', 'mkfs.ext4'))
class RootAndNobodyTest(unittest.TestCase):

  @classmethod
  def setUpClass(cls):
    cls.directory = tempfile.mkdtemp(prefix='volumes-users-')
    os.chmod(cls.directory, 0o755)
    out = os.path.join(cls.directory, 'out')
    os.mkdir(out)
    os.chmod(out, 0o777)
    # Nobody may read neither /root nor, perhaps, the build tree: copies.
    tree = os.path.join(cls.directory, 'tree')
    shutil.copytree(os.path.dirname(os.path.dirname(os.path.abspath(volumes.__file__))),
                    tree)
    shutil.copy(os.path.join(REPOSITORY, 'tools', 'volume_table.py'), tree)
    shutil.copytree(os.path.join(REPOSITORY, 'tools', 'volume_tool'),
                    os.path.join(tree, 'volume_tool'))
    subprocess.check_call(['chmod', '-R', 'a+rX', tree])
    script = os.path.join(cls.directory, 'scenario.sh')
    with open(script, 'w') as handle:
      handle.write(SCENARIO)
    status = subprocess.call(['unshare', '-m', '--propagation', 'private', 'sh', script,
                              cls.directory, sys.prefix, tree])
    cls.fuse_mounted = os.path.exists(os.path.join(out, 'fuse-mounted'))

    def Read(name):
      with open(os.path.join(out, name)) as handle:
        return handle.read()
    try:
      cls.tables = {user: json.loads(Read(user + '.json'))['volumes'] for user in ('root', 'nobody')}
      cls.logs = {user: Read(user + '.log') for user in ('root', 'nobody')}
    except (IOError, ValueError) as error:
      logs = [Read(name) for name in os.listdir(out) if name.endswith('.log')]
      shutil.rmtree(cls.directory, ignore_errors=True)
      raise AssertionError('the scenario failed (%s): %s\n%s' % (status, error, logs))

  @classmethod
  def tearDownClass(cls):
    shutil.rmtree(cls.directory, ignore_errors=True)

  def Path(self, name):
    return os.path.join(self.directory, name) + '/'

  def Entries(self, user):
    return {entry['mountpoint']: entry for entry in self.tables[user]}

  def testBothUsersListTheSameVolumesUnderTheSameNames(self):
    root, nobody = self.Entries('root'), self.Entries('nobody')
    disk = root[self.Path('disk')]
    self.assertEqual((disk['device_file'], disk['label'], disk['filesystem']),
                     (u'\\\\?\\Volume{%s}\\' % UUID, u'MODULELABEL', u'ext4'))
    # FUSE refuses other users' questions with a blank answer instead of an
    # error, so nobody lists the dead FUSE mount that root skips.
    nobody.pop(self.Path('fuse'), None)
    self.assertIn(self.Path('disk'), nobody)
    # Every volume that nobody lists is root's, the same in every field;
    # those that nobody cannot read (the one below the locked directory,
    # other users' FUSE mounts) are logged as skipped.
    # (Space in use moves between the two runs; the rest is the module's.)
    space = ('used', 'avail', 'use%')
    for mount_point, entry in nobody.items():
      self.assertIn(mount_point, root)
      self.assertEqual({k: v for k, v in entry.items() if k not in space},
                       {k: v for k, v in root[mount_point].items() if k not in space})
    for mount_point in set(root) - set(nobody):
      self.assertIn(SKIPPED % mount_point, self.logs['nobody'])
    self.assertNotIn(self.Path('locked/inside'), nobody)

  def testVolumesThatCannotBeReadAreLoggedAsSkipped(self):
    self.assertIn(SKIPPED % self.Path('locked/inside'), self.logs['nobody'])
    self.assertNotIn(SKIPPED % self.Path('locked/inside'), self.logs['root'])
    if not self.fuse_mounted:
      self.skipTest('fusefat could not mount here')
    self.assertIn(SKIPPED % self.Path('fuse'), self.logs['root'])
    self.assertIn('[Error 21]', self.logs['root'])
    self.assertNotIn(self.Path('fuse'), self.Entries('root'))

  def testAnOverlayIsAVolume(self):
    merged = self.Entries('root')[self.Path('merged')]
    self.assertEqual((merged['filesystem'], merged['device_type']), ('overlay', 'UNKNOWN'))


if __name__ == '__main__':
  unittest.main()
