"""The module as start-up leaves it: attributes, constants, the class."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest

from common import volume_entry
from simulation import Volume
from windows import volumes

DeviceType = volume_entry.DeviceType
VolumeInfoClass = volumes.VolumeInfo.__wrapped__


class AttributesTest(unittest.TestCase):

  def testNamesAndDocstring(self):
    self.assertEqual(volumes.__name__, 'windows.volumes')
    self.assertEqual(volumes.__doc__, 'Volume information cache service.')
    self.assertEqual(volumes.LOGGER.name, 'windows.volumes')
    for name, module in [('logging', 'logging'), ('re', 're'),
                         ('utils', 'common.utils'),
                         ('volume_entry', 'common.volume_entry'),
                         ('service', 'common.service.service'),
                         ('platform_utils', 'platforms.platform_utils')]:
      self.assertIs(getattr(volumes, name), sys.modules[module])
    self.assertFalse(hasattr(volumes, 'winwrap'))
    self.assertFalse(hasattr(volumes, '_IS_FAT_CACHE'))
    self.assertFalse(hasattr(volumes, '_FAT_FILESYSTEMS'))

  def testModuleFunctions(self):
    for name in ['GetVolumeInformationByHandle', 'GetVolumeInformation',
                 '_GetVolumePathNamesForVolumeName', '_ListVolumeNames',
                 'FindVolumeID', '_VolumeIDFromSerialNumber', 'IsFAT']:
      function = getattr(volumes, name)
      self.assertEqual(type(function).__name__, 'builtin_function_or_method')
      self.assertEqual(function.__name__, name)
      self.assertEqual(function.__module__, 'windows.volumes')
    self.assertIsNone(volumes._VolumeIDFromSerialNumber.__doc__)
    self.assertEqual(volumes._ListVolumeNames.__doc__.splitlines()[0],
                     'Returns a list of UNC volume names.')
    for function in [volumes.GetVolumeInformation,
                     volumes.GetVolumeInformationByHandle,
                     volumes._GetVolumePathNamesForVolumeName,
                     volumes._ListVolumeNames, volumes.FindVolumeID,
                     volumes.IsFAT]:
      self.assertTrue(function.__doc__.endswith('\n  '), function.__name__)

  def testDriveTypeMap(self):
    table = volumes.DRIVE_TYPE_MAP
    self.assertEqual(sorted(table), range(7))
    self.assertTrue(all(type(key) is long for key in table))
    self.assertIs(table[3], DeviceType.INTERNAL)
    self.assertIs(table[3L], DeviceType.INTERNAL)
    self.assertEqual([table[k] for k in range(7)], [
        DeviceType.UNKNOWN, DeviceType.UNKNOWN, DeviceType.REMOVABLE,
        DeviceType.INTERNAL, DeviceType.NETWORK, DeviceType.REMOVABLE,
        DeviceType.RAM])
    self.assertIsNone(table.get(7))

  def testVolumeNameGuidMatcher(self):
    matcher = volumes.VOLUME_NAME_GUID_MATCHER
    self.assertIs(type(matcher.pattern), str)
    self.assertEqual(matcher.flags, 0)
    guid = '4a1f06e2-8d2e-11e1-b0c4-0800200c9a66'
    name = '\\\\?\\Volume{%s}\\' % guid
    self.assertEqual(matcher.match(name).group(1), guid)
    self.assertEqual(matcher.match(unicode(name)).group(1), guid)
    for other in [name[:-1], 'x' + name, '\\\\?\\Volume{a b}\\',
                  '\\\\?\\Volume{a.b}\\', '\\\\?\\Volume{}\\']:
      self.assertIsNone(matcher.match(other), other)


class VolumeInfoClassTest(unittest.TestCase):

  def testClassNamespace(self):
    self.assertIs(type(VolumeInfoClass), type)
    self.assertEqual(VolumeInfoClass.__bases__, (object,))
    self.assertEqual(VolumeInfoClass.__name__, 'VolumeInfo')
    self.assertEqual(VolumeInfoClass.__module__, 'windows.volumes')
    self.assertEqual(VolumeInfoClass.__qualname__, 'VolumeInfo')
    self.assertTrue(VolumeInfoClass.__doc__.startswith(
        'Volume information cache service.\n\n  On Windows'))
    self.assertTrue(VolumeInfoClass.__doc__.endswith('change handling.\n  '))

  def testMethodsShowWhatPythonFunctionsShow(self):
    expected = {
        '__init__': (('self',), None, None),
        'FindVolumeID': (('self', 'stat_result'), None, 'Get the volume ID'),
        'AllVolumeEntries': (('self', 'force_update'), (False,),
                             'Returns the volume entry dictionary.'),
        'GetVolumeEntryForVolumeID': (('self', 'volume_id'), None, None),
        'GetVolumeEntryForDeviceNumber': (('self', 'st_dev'), None, None),
        '_PopulateVolumeTable': (('self', 'current_volume_ids'), None, None),
    }
    for name, (parameters, defaults, doc) in expected.items():
      method = VolumeInfoClass.__dict__[name]
      self.assertEqual((method.__name__, method.func_name), (name, name))
      self.assertEqual(method.__qualname__, 'VolumeInfo.' + name)
      self.assertEqual(method.__module__, 'windows.volumes')
      self.assertEqual(method.__defaults__, defaults)
      self.assertEqual(method.func_defaults, defaults)
      self.assertEqual(method.__code__.co_varnames, parameters)
      self.assertEqual(method.func_code.co_argcount, len(parameters))
      self.assertIs(method.func_doc, method.__doc__)
      if doc is None:
        self.assertIsNone(method.__doc__)
      else:
        self.assertTrue(method.__doc__.startswith(doc), name)

  def testMethodsBindAsFunctionsDo(self):
    instance = VolumeInfoClass()
    bound = instance.AllVolumeEntries
    self.assertIs(bound.im_self, instance)
    self.assertIs(bound.im_func, VolumeInfoClass.__dict__['AllVolumeEntries'])
    unbound = VolumeInfoClass.AllVolumeEntries
    self.assertIsNone(unbound.im_self)
    self.assertIs(unbound.im_class, VolumeInfoClass)
    self.assertRaises(TypeError, unbound)
    self.assertEqual(repr(unbound), '<unbound method VolumeInfo.AllVolumeEntries>')

  def testSingletonServiceAndInstanceState(self):
    self.assertIs(volumes.VolumeInfo(), volumes.VolumeInfo())
    instance = VolumeInfoClass()
    self.assertEqual(instance._volume_ids, {})
    self.assertEqual(instance._volume_entries, {})
    self.assertIsNot(instance._volume_ids, instance._volume_entries)
    with instance._lock:
      self.assertFalse(instance._lock.acquire(False))


BUILD_TREE = os.path.dirname(os.path.dirname(volumes.__file__))
HERE = os.path.dirname(os.path.abspath(__file__))


class StartUpFailureTest(unittest.TestCase):
  """Start-up in a fresh interpreter whose sibling modules are replaced."""

  def setUp(self):
    self.overrides = tempfile.mkdtemp(prefix='volumes-startup-')

  def tearDown(self):
    shutil.rmtree(self.overrides)

  def Override(self, path, source):
    full_path = os.path.join(self.overrides, path)
    if not os.path.isdir(os.path.dirname(full_path)):
      os.makedirs(os.path.dirname(full_path))
    with open(full_path, 'w') as out:
      out.write(textwrap.dedent(source))

  def Run(self, script, **environment):
    """The output of `script`, run with the overrides ahead of the tree."""
    child_environment = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [self.overrides, BUILD_TREE]))
    child_environment.update(environment)
    return subprocess.check_output(
        [sys.executable, '-c', textwrap.dedent(script)], env=child_environment)

  def Import(self):
    """Imports windows.volumes; returns what failed and what got bound."""
    outcome, bound = self.Run('''
        import sys
        try:
          import windows.volumes
          print 'ok'
        except Exception as error:
          print '%s: %s' % (type(error).__name__, error)
        module = sys.modules.get('windows.volumes')
        try:
          module.GetVolumeInformation(u'Q:')
        except Exception as error:
          print >> sys.stderr, '%s: %s' % (type(error).__name__, error)
        print sorted(n for n in vars(module) if not n.startswith('__'))
        ''').splitlines()
    return outcome, eval(bound)

  def LinkHostPackage(self, package, keep=()):
    """A copy of a host package holding only the modules in `keep`."""
    os.makedirs(os.path.join(self.overrides, package))
    self.Override(os.path.join(package, '__init__.py'), '')
    for module in keep:
      shutil.copy(os.path.join(BUILD_TREE, package, module),
                  os.path.join(self.overrides, package, module))

  def OverrideWinwrap(self, source, capsule=False):
    """The module beside a winwrap of `source`; with `capsule`, one whose
    _C_API is a capsule of the table `_table` that `source` makes."""
    self.LinkHostPackage('windows')
    shutil.copy(volumes.__file__, os.path.join(self.overrides, 'windows'))
    self.Override('windows/winwrap.py', textwrap.dedent(source) + (textwrap.dedent('''
        _new = ctypes.pythonapi.PyCapsule_New
        _new.restype = ctypes.py_object
        _new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        _C_API = _new(ctypes.addressof(_table), 'windows.winwrap._C_API', None)
        ''') if capsule else ''))

  def testStartUpImportsWhatItNamesOnly(self):
    # A host's __import__ that refuses anything else, with an error other
    # than ImportError, does not stop it.
    self.Override('sitecustomize.py', '''
        import __builtin__
        named = __builtin__.__import__
        def Hooked(name, *args, **kwargs):
          if name in ('posix', 'nt'):
            raise RuntimeError('not this one')
          return named(name, *args, **kwargs)
        __builtin__.__import__ = Hooked
        ''')
    outcome, bound = self.Import()
    self.assertEqual(outcome, 'ok')
    self.assertIn('VolumeInfo', bound)

  def testMissingModuleStopsAfterTheEarlierImports(self):
    self.LinkHostPackage('platforms')
    self.Override('platforms/platform_utils.py', 'import no_such_module\n')
    outcome, bound = self.Import()
    self.assertEqual(outcome, 'ImportError: No module named no_such_module')
    self.assertEqual(bound, ['GetVolumeInformation',
                             'GetVolumeInformationByHandle',
                             '_GetVolumePathNamesForVolumeName', 'logging',
                             're', 'service', 'utils', 'volume_entry'])

  def testMissingNameInFromImport(self):
    self.LinkHostPackage('common', keep=['utils.py'])
    outcome, bound = self.Import()
    self.assertEqual(outcome, 'ImportError: cannot import name volume_entry')
    self.assertNotIn('volume_entry', bound)
    self.assertIn('utils', bound)

  def testMissingDeviceTypeMember(self):
    self.LinkHostPackage('common', keep=['utils.py'])
    os.makedirs(os.path.join(self.overrides, 'common', 'service'))
    for module in ['__init__.py', 'service.py']:
      shutil.copy(os.path.join(BUILD_TREE, 'common', 'service', module),
                  os.path.join(self.overrides, 'common', 'service', module))
    self.Override('common/volume_entry.py', '''
        class DeviceType(object):
          UNKNOWN = 'unknown'
          REMOVABLE = 'removable'
        ''')
    outcome, bound = self.Import()
    self.assertEqual(
        outcome, "AttributeError: type object 'DeviceType' has no attribute "
        "'INTERNAL'")
    self.assertIn('LOGGER', bound)
    self.assertNotIn('DRIVE_TYPE_MAP', bound)

  def testWinwrapWithoutEntryPoint(self):
    self.OverrideWinwrap('def RaiseWindowsError(code=None): pass\n')
    outcome, bound = self.Import()
    self.assertEqual(outcome, 'ImportError: windows.winwrap does not provide '
                     'RaiseWindowsError (capsule windows.winwrap._C_API)')
    self.assertIn('GetVolumeInformation', bound)  # and calling it did not crash
    self.assertNotIn('logging', bound)

  def testWinwrapCapsuleWithNullEntryPoint(self):
    self.OverrideWinwrap('''
        import ctypes
        _table = (ctypes.c_void_p * 1)()  # RaiseWindowsError: null
        ''', capsule=True)
    outcome, bound = self.Import()
    self.assertEqual(outcome, 'ImportError: windows.winwrap does not provide '
                     'RaiseWindowsError (capsule windows.winwrap._C_API)')
    # The query ran after the failed start-up, and raised instead of crashing.
    self.assertIn('GetVolumeInformation', bound)

  def testAnEntryPointThatReturnsIsASystemError(self):
    self.OverrideWinwrap('''
        import __builtin__
        import ctypes
        # As the stand-in does where the interpreter has none.
        __builtin__.WindowsError = getattr(__builtin__, 'WindowsError', OSError)
        _entry = ctypes.CFUNCTYPE(ctypes.py_object, ctypes.c_int,
                                  ctypes.c_ulong)(lambda has_code, code: 42)
        _table = (ctypes.c_void_p * 1)(ctypes.cast(_entry, ctypes.c_void_p))
        ''', capsule=True)
    machine = os.path.join(self.overrides, 'machine.json')
    with open(machine, 'w') as out:
      json.dump({'find_next_error': {'after': 1, 'code': 5}, 'volumes': [
          Volume('a', ['A:\\'], handles=[1], fail={
              'info': 21, 'paths': {'code': 5, 'returned_length': 2}}),
          Volume('b')]}, out)
    first_fails = os.path.join(self.overrides, 'first_fails.json')
    with open(first_fails, 'w') as out:
      json.dump({'find_first_error': 21}, out)
    output = self.Run('''
        import os
        from windows import volumes
        from simulation import Handle, Volume
        for machine, call, args in [
            (%r, volumes._ListVolumeNames, ()),
            (%r, volumes._ListVolumeNames, ()),
            (%r, volumes.GetVolumeInformation, (u'A:',)),
            (%r, volumes.GetVolumeInformationByHandle, (8,)),
            (%r, volumes._GetVolumePathNamesForVolumeName, (Volume('a')['name'],)),
            (%r, volumes.IsFAT, (1, Handle(8)))]:
          os.environ['VOLUMES_SIMULATION'] = machine
          try:
            print call(*args)
          except SystemError as error:
            print error
        ''' % ((first_fails,) + (machine,) * 5),
        PYTHONPATH=os.pathsep.join([self.overrides, BUILD_TREE, HERE]))
    self.assertEqual(output.splitlines(), [
        'RaiseWindowsError returned instead of raising error %d' % code
        for code in (21, 5, 21, 6, 5, 6)])

  def testOtherErrorsWhileLookingForTheEntryPointPass(self):
    self.OverrideWinwrap('''
        import sys
        class Winwrap(object):
          @property
          def _C_API(self):
            raise MemoryError('no memory for the capsule')
        sys.modules[__name__] = Winwrap()
        ''')
    outcome, _ = self.Import()
    self.assertEqual(outcome, 'MemoryError: no memory for the capsule')

  def testSingletonFailurePasses(self):
    self.LinkHostPackage('common', keep=['utils.py', 'volume_entry.py'])
    self.Override('common/service/__init__.py', '')
    self.Override('common/service/service.py', '''
        def Singleton(cls):
          raise RuntimeError('no services today: %s' % cls.__name__)
        ''')
    outcome, bound = self.Import()
    self.assertEqual(outcome, 'RuntimeError: no services today: VolumeInfo')
    self.assertIn('IsFAT', bound)
    self.assertNotIn('VolumeInfo', bound)


if __name__ == '__main__':
  unittest.main()
