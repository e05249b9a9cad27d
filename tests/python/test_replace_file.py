"""Replacing a machine file by renaming over it, as its writers must."""

import os
import shutil
import tempfile
import threading
import unittest

from simulation import ReplaceFile


class ReplaceFileTest(unittest.TestCase):

  def setUp(self):
    self.directory = tempfile.mkdtemp(prefix='replace-file-test-')
    self.old = os.path.join(self.directory, 'machine.json')
    self.new = self.old + '.new'

  def tearDown(self):
    shutil.rmtree(self.directory)

  def Write(self, path, text):
    with open(path, 'wb') as out:
      out.write(text)

  def Read(self, path):
    with open(path, 'rb') as source:
      return source.read()

  def testReplacesAnExistingFileAndItsIdentity(self):
    self.Write(self.old, 'old')
    old_inode = os.stat(self.old).st_ino
    self.Write(self.new, 'new')
    ReplaceFile(self.new, self.old)
    self.assertEqual(self.Read(self.old), 'new')
    self.assertFalse(os.path.exists(self.new))
    if os.name != 'nt':  # Python 2.7 reports no file index on Windows
      self.assertNotEqual(os.stat(self.old).st_ino, old_inode)

  def testCreatesAMissingDestination(self):
    self.Write(self.new, 'new')
    ReplaceFile(self.new, self.old)
    self.assertEqual(self.Read(self.old), 'new')

  def testWaitsWhileTheDestinationIsOpen(self):
    # Windows refuses the rename until the reader closes it.
    self.Write(self.old, 'old')
    self.Write(self.new, 'new')
    reader = open(self.old, 'rb')
    closing = threading.Timer(0.2, reader.close)
    closing.start()
    try:
      ReplaceFile(self.new, self.old)
    finally:
      closing.join()
    self.assertEqual(self.Read(self.old), 'new')

  def testMissingSourceRaisesAndLeavesTheDestination(self):
    self.Write(self.old, 'old')
    self.assertRaises(OSError, ReplaceFile, self.new, self.old)
    self.assertEqual(self.Read(self.old), 'old')


if __name__ == '__main__':
  unittest.main()
