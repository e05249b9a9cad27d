"""Every callable of windows.volumes, and the calls that walk its success
path and each of its error paths, on machine files made for them: the one
list of the checks that call everything, tests/leak_check.py and
test_refcounts.py (each path many times) and test_fuzz.py (every callable,
with random arguments).
"""

import json
import os
import types


class Handle(object):
  """What IsFAT receives as `handle`: an object with a `handle` attribute."""

  def __init__(self, handle):
    self.handle = handle


class Stat(object):
  """A stat result as FindVolumeID reads it: only st_dev."""

  def __init__(self, st_dev):
    self.st_dev = st_dev


def _Name(guid):
  return u'\\\\?\\Volume{%s}\\' % guid


# The machines that the paths run on, by name; 'broken' is a file's text.
MACHINES = {
    'machine': {'volumes': [
        {'name': _Name('a'), 'paths': [u'C:\\'], 'serial': 1, 'handles': [1],
         'filesystem': 'FAT32', 'total_bytes': 10},
        {'name': _Name('b'), 'serial': 2, 'handles': [2],
         'paths': [u'M:\\mount%03d\\' % n for n in range(40)]},
        {'name': _Name('c'), 'paths': [u'I:\\'], 'serial': 3, 'handles': [3],
         'fail': {'info': 21, 'capacity': 5,
                  'paths': {'code': 5, 'returned_length': 9}}},
        {'name': _Name('d'), 'paths': [u'L:\\'], 'serial': 4,
         'label': u'x' * 261}]},
    'repeated': {'volumes': [{'name': _Name('a')}, {'name': _Name('a')}]},
    'first_fails': {'find_first_error': 21},
    'next_fails': {'volumes': [{'name': u'A'}, {'name': u'B'}],
                   'find_next_error': {'after': 1, 'code': 5}},
    'broken': '{"volumes": 1e400}',
}


def WriteMachines(directory):
  """Writes MACHINES into `directory`; {name: file}."""
  files = {}
  for name, machine in MACHINES.items():
    files[name] = os.path.join(directory, name + '.json')
    with open(files[name], 'wb') as out:
      out.write(machine if isinstance(machine, str) else json.dumps(machine))
  return files


def CallableNames(volumes):
  """The name of every function of the module, of every method of the
  service ('VolumeInfo.NAME'), and 'VolumeInfo', the class."""
  service_class = volumes.VolumeInfo.__wrapped__
  return sorted(
      [name for name in dir(volumes) if isinstance(
          getattr(volumes, name), types.BuiltinFunctionType)] +
      ['VolumeInfo.' + name for name in dir(service_class)
       if not name.startswith('__') and callable(getattr(service_class, name))]
  ) + ['VolumeInfo']


def Callables(volumes, service):
  """Every callable: the functions, the methods both bound to `service` and
  taken from the class (whose first argument is then anyone's), the class."""
  found = []
  for name in CallableNames(volumes):
    owner, _, method = name.rpartition('.')
    if owner:
      found += [getattr(service, method), getattr(type(service), method)]
    else:
      found.append(type(service) if name == 'VolumeInfo' else
                   getattr(volumes, name))
  return found


def Paths(volumes, machines):
  """(name, machine file, callable, args, kwargs) of every path; each name
  is the callable's, then the case.  `machines` is WriteMachines' answer;
  the service's table is read from 'machine', on which VOLUMES_SIMULATION
  is left."""
  service_class = volumes.VolumeInfo.__wrapped__
  service = service_class()
  m = machines['machine']
  os.environ['VOLUMES_SIMULATION'] = m
  service.AllVolumeEntries()
  marker = service._volume_ids
  stat = os.stat(m)
  return [
      ('GetVolumeInformation', m, volumes.GetVolumeInformation, (u'C:\\',), {}),
      ('GetVolumeInformation keyword', m, volumes.GetVolumeInformation, (), {'path': u'C:\\'}),
      ('GetVolumeInformation unknown', m, volumes.GetVolumeInformation, (u'Q:\\',), {}),
      ('GetVolumeInformation failing', m, volumes.GetVolumeInformation, (u'I:\\',), {}),
      ('GetVolumeInformation label too long', m, volumes.GetVolumeInformation, (u'L:\\',), {}),
      ('GetVolumeInformation str', m, volumes.GetVolumeInformation, ('C:\\',), {}),
      ('GetVolumeInformation no argument', m, volumes.GetVolumeInformation, (), {}),
      ('GetVolumeInformation bad keyword', m, volumes.GetVolumeInformation, (u'C:\\',), {'size': 1}),
      ('GetVolumeInformation broken file', machines['broken'], volumes.GetVolumeInformation, (u'C:\\',), {}),
      ('GetVolumeInformationByHandle', m, volumes.GetVolumeInformationByHandle, (1,), {}),
      ('GetVolumeInformationByHandle unknown', m, volumes.GetVolumeInformationByHandle, (99,), {}),
      ('GetVolumeInformationByHandle str handle', m, volumes.GetVolumeInformationByHandle, ('x',), {}),
      ('GetVolumeInformationByHandle no integer', m, volumes.GetVolumeInformationByHandle, (Handle(1),), {}),
      ('_GetVolumePathNamesForVolumeName', m, volumes._GetVolumePathNamesForVolumeName, (_Name('a'),), {}),
      ('_GetVolumePathNamesForVolumeName growing', m, volumes._GetVolumePathNamesForVolumeName, (_Name('b'),), {}),
      ('_GetVolumePathNamesForVolumeName failing', m, volumes._GetVolumePathNamesForVolumeName, (_Name('c'),), {}),
      ('_GetVolumePathNamesForVolumeName unknown', m, volumes._GetVolumePathNamesForVolumeName, (u'nothing',), {}),
      ('_GetVolumePathNamesForVolumeName str', m, volumes._GetVolumePathNamesForVolumeName, ('x',), {}),
      ('_ListVolumeNames', m, volumes._ListVolumeNames, (), {}),
      ('_ListVolumeNames repeated name', machines['repeated'], volumes._ListVolumeNames, (), {}),
      ('_ListVolumeNames first fails', machines['first_fails'], volumes._ListVolumeNames, (), {}),
      ('_ListVolumeNames next fails', machines['next_fails'], volumes._ListVolumeNames, (), {}),
      ('_ListVolumeNames extra argument', m, volumes._ListVolumeNames, (1,), {}),
      ('FindVolumeID', m, volumes.FindVolumeID, (stat,), {}),
      ('FindVolumeID no st_dev', m, volumes.FindVolumeID, (object(),), {}),
      ('FindVolumeID str st_dev', m, volumes.FindVolumeID, (Stat('x'),), {}),
      ('FindVolumeID huge st_dev', m, volumes.FindVolumeID, (Stat(2**70),), {}),
      ('_VolumeIDFromSerialNumber', m, volumes._VolumeIDFromSerialNumber, (7,), {}),
      ('_VolumeIDFromSerialNumber long', m, volumes._VolumeIDFromSerialNumber, (2**40,), {}),
      ('_VolumeIDFromSerialNumber str', m, volumes._VolumeIDFromSerialNumber, ('7',), {}),
      ('IsFAT cached', m, volumes.IsFAT, (1, Handle(1)), {}),
      ('IsFAT keywords', m, volumes.IsFAT, (), {'serial_number': 2, 'handle': Handle(2)}),
      ('IsFAT failing', m, volumes.IsFAT, (3, Handle(3)), {}),
      ('IsFAT one argument', m, volumes.IsFAT, (1,), {}),
      ('IsFAT repeated keyword', m, volumes.IsFAT, (1, 2), {'serial_number': 3}),
      ('IsFAT unknown keyword', m, volumes.IsFAT, (1,), {'size': 2}),
      ('IsFAT non-ASCII keyword', m, volumes.IsFAT, (1, 2), {u'\xe9': 1}),
      ('IsFAT bad handle', m, volumes.IsFAT, (9, Handle('x')), {}),
      ('VolumeInfo.AllVolumeEntries', m, service.AllVolumeEntries, (), {}),
      ('VolumeInfo.AllVolumeEntries forced', m, service.AllVolumeEntries, (True,), {}),
      ('VolumeInfo.AllVolumeEntries too many', m, service.AllVolumeEntries, (True, 1), {}),
      ('VolumeInfo.AllVolumeEntries empty table', machines['first_fails'], service_class().AllVolumeEntries, (), {}),
      ('VolumeInfo.GetVolumeEntryForVolumeID', m, service.GetVolumeEntryForVolumeID, ('serial:1',), {}),
      ('VolumeInfo.GetVolumeEntryForVolumeID missing', m, service.GetVolumeEntryForVolumeID, (u'serial:9',), {}),
      ('VolumeInfo.GetVolumeEntryForDeviceNumber', m, service.GetVolumeEntryForDeviceNumber, (1,), {}),
      ('VolumeInfo.GetVolumeEntryForDeviceNumber missing', m, service.GetVolumeEntryForDeviceNumber, (99,), {}),
      ('VolumeInfo.FindVolumeID', m, service.FindVolumeID, (stat,), {}),
      ('VolumeInfo._PopulateVolumeTable stale', m, service._PopulateVolumeTable, ({},), {}),
      ('VolumeInfo._PopulateVolumeTable current', m, service._PopulateVolumeTable, (marker,), {}),
      ('VolumeInfo', m, service_class, (), {}),
  ]
