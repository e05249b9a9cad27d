"""The module at the edges of every length and number it passes to the
platform: names, labels and filesystem names around the 261-character
buffers (surrogate pairs included), a mount-point list of a million
characters, returned lengths at the 32-bit edge and handles at the edges of
their width: the exact result or the documented exception."""

import codecs
import struct
import sys
import unittest

from simulation import Handle, SimulatedMachineTestCase, VolumeName
from windows import volumes

PAIR = u'\U0001F600'  # two UTF-16 units
# A handle is as wide as a pointer.
HANDLE_BITS = struct.calcsize('P') * 8
# The encoding of the filesystem names that the module returns: mbcs on
# Windows, UTF-8 where the interpreter names none.
FILESYSTEM_ENCODING = codecs.lookup(sys.getfilesystemencoding() or 'utf-8').name


def Units(text):
  """The UTF-16 length of `text`."""
  return len(text.encode('utf-16-le')) // 2


def NameOf(units, pair_at=None):
  """A name of `units` UTF-16 units; with `pair_at`, a surrogate pair takes
  units pair_at and pair_at + 1."""
  if pair_at is None:
    return u'n' * units
  return u'n' * pair_at + PAIR + u'n' * (units - pair_at - 2)


class LimitsTest(SimulatedMachineTestCase):

  def testVolumeNamesAroundTheNameBuffer(self):
    # The buffer holds 260 units and the NUL.
    for units, pair_at in [(259, None), (260, None), (259, 257), (260, 258),
                           (260, 0)]:
      name = NameOf(units, pair_at)
      self.assertEqual(Units(name), units)
      self.UseMachine([{'name': name}, {'name': u'next'}])
      self.assertEqual(volumes._ListVolumeNames(), [name, u'next'])
    for units, pair_at in [(261, None), (261, 259), (262, 259)]:
      self.UseMachine([{'name': NameOf(units, pair_at)}])
      self.assertWindowsError(206, volumes._ListVolumeNames)  # name too long
      # ... the first or a later one, whose handle is then closed.
      self.UseMachine([{'name': u'first'}, {'name': NameOf(units, pair_at)}])
      self.assertWindowsError(206, volumes._ListVolumeNames)

  @unittest.skipUnless(FILESYSTEM_ENCODING in ('utf-8', 'mbcs'),
                       'filesystem names are %s here, which cannot hold '
                       'every name' % FILESYSTEM_ENCODING)
  def testLabelsAndFilesystemNamesAroundTheirBuffers(self):
    for units, pair_at in [(260, None), (260, 258), (259, 258)]:
      text = NameOf(units, pair_at)
      self.UseMachine([{'name': u'A', 'paths': [u'C:\\'], 'label': text,
                        'filesystem': text, 'handles': [1]}])
      info = volumes.GetVolumeInformation(u'C:\\')
      # The filesystem name is a byte string in the filesystem encoding
      # (which, as mbcs, writes what the code page lacks as '?').
      self.assertEqual((info[0], info[4]),
                       (text, text.encode(FILESYSTEM_ENCODING)))
      self.assertEqual(volumes.GetVolumeInformationByHandle(1), info)
    for key in ('label', 'filesystem'):
      for text in (NameOf(261), NameOf(261, 259)):
        self.UseMachine([{'name': u'A', 'paths': [u'C:\\'], key: text,
                          'handles': [1]}])
        self.assertWindowsError(24, volumes.GetVolumeInformation, u'C:\\')
        self.assertWindowsError(24, volumes.GetVolumeInformationByHandle, 1)

  def testAMillionCharacterMountPointList(self):
    paths = [u'C:\\mount\\%06d\\%s\\' % (n, u'p' * 990) for n in range(1000)]
    paths.append(u'D:\\' + PAIR + u'\\')
    self.assertGreater(sum(Units(p) + 1 for p in paths) + 1, 10**6)
    self.UseMachine([{'name': VolumeName('m'), 'paths': paths}])
    self.assertEqual(volumes._GetVolumePathNamesForVolumeName(VolumeName('m')),
                     paths)

  def testReturnedLengthsAtThe32BitEdge(self):
    # (One asking for 2**32 - 1 characters more: test_volume_queries.)
    name = VolumeName('e')
    for length in (2**32 - 1, 2**32 - 2, 2**31, 2**31 - 1):
      self.UseMachine([{'name': name, 'fail': {'paths': {
          'code': 5, 'returned_length': length}}}])
      self.assertWindowsError(5, volumes._GetVolumePathNamesForVolumeName, name)

  def testHandlesBeyondTheSigned64BitRange(self):
    self.UseMachine([{'name': u'A', 'handles': [1]}])
    for handle in (2**63, -2**63 - 1, 2**64 - 1, 2**64, 10**30):
      self.assertRaises(OverflowError, volumes.GetVolumeInformationByHandle,
                        handle)
      self.assertRaises(OverflowError, volumes.IsFAT, 6, Handle(handle))

  @unittest.skipUnless(HANDLE_BITS == 64, 'handles are %d bits wide here, '
                       'not 64' % HANDLE_BITS)
  def testHandlesAtThe64BitEdges(self):
    edges = [-2**63, -2**63 + 1, -1, 0, 2**63 - 1]
    self.UseMachine([{'name': u'A', 'paths': [u'C:\\'], 'label': u'L',
                      'serial': 5, 'filesystem': u'FAT32', 'handles': edges}])
    for handle in edges:
      for value in (handle, long(handle)):
        self.assertEqual(volumes.GetVolumeInformationByHandle(value)[0], u'L')
      self.assertIs(volumes.IsFAT(5, Handle(handle)), True)
    self.assertWindowsError(6, volumes.GetVolumeInformationByHandle, 2**62)
    self.UseMachine([{'name': u'A', 'handles': [1]}])
    self.assertWindowsError(6, volumes.GetVolumeInformationByHandle, 2**63 - 1)

  @unittest.skipUnless(HANDLE_BITS == 32, 'handles are %d bits wide here, '
                       'not 32' % HANDLE_BITS)
  def testValuesThatNo32BitHandleHas(self):
    self.UseMachine([{'name': u'A', 'handles': [1]}])
    for handle in (2**32, 2**32 + 1, -2**31 - 1, 2**63 - 1, -2**63):
      self.assertRaises(OverflowError, volumes.GetVolumeInformationByHandle,
                        handle)
      self.assertRaises(OverflowError, volumes.IsFAT, 6, Handle(handle))


if __name__ == '__main__':
  unittest.main()
