"""Every function and method of the module called with random arguments,
positional and keyword, on random machines and under hostile rebindings of
module globals: each call returns or raises an ordinary exception, never a
crash, and never SystemError (a C-API misuse inside the module).

Seeded: a failure names the seed and call that reproduce it."""

import os
import random
import sys
import unittest

from simulation import (PlatformLinesDropped, Rebound, Scaled,
                        SimulatedMachineTestCase, VolumeName)
from windows import volumes
import call_paths  # pylint: disable=g-bad-import-order

VolumeInfoClass = volumes.VolumeInfo.__wrapped__

CALLS_PER_CALLABLE = Scaled(10000, 100000)
SEED = int(os.environ.get('VOLUMES_FUZZ_SEED', '20261208'))


class Hostile(Exception):
  """What the hostile objects raise."""


class RaisingStr(str):
  def __eq__(self, other):
    raise Hostile('__eq__')
  def __ne__(self, other):
    raise Hostile('__ne__')
  def __hash__(self):
    raise Hostile('__hash__')


class RaisingUnicode(unicode):
  def __eq__(self, other):
    raise Hostile('__eq__')
  def __hash__(self):
    raise Hostile('__hash__')


class WrongInt(object):
  def __int__(self):
    return 'not an int'
  def __long__(self):
    return 1.5
  def __index__(self):
    return None


class RaisingInt(object):
  def __int__(self):
    raise Hostile('__int__')
  def __long__(self):
    raise Hostile('__long__')
  def __index__(self):
    raise Hostile('__index__')
  def __nonzero__(self):
    raise Hostile('__nonzero__')


class RaisingAttributes(object):
  @property
  def st_dev(self):
    raise Hostile('st_dev')
  @property
  def handle(self):
    raise Hostile('handle')


class Carrier(object):
  """An object whose st_dev and handle are whatever the fuzzer chose."""
  def __init__(self, value):
    self.st_dev = value
    self.handle = value


EDGES = [0, 1, -1, 2**31 - 1, 2**31, -2**31, 2**32 - 1, 2**32, 2**63 - 1,
         2**63, -2**63, -2**63 - 1, 2**64 - 1, 2**64, 10**100, -10**100]
TEXTS = [u'', u'C:\\', u'C:', u'\\\\?\\Volume{a}\\', u'C:\\\x00', u'\ud800',
         u'\udfff\\', u'\U0001f600\\', u'x' * 300, u'\\' * 5, 'C:\\', '\x00',
         '\xff\xfe', 'serial:1', u'serial:1', 'x' * 1000]


def RandomValue(rng, depth=0):
  kind = rng.randrange(14)
  if kind == 0:
    return None
  if kind == 1:
    return rng.choice(EDGES)
  if kind == 2:
    return long(rng.choice(EDGES))
  if kind == 3:
    return rng.choice([0.0, -0.0, 1.5, 1e308, float('inf'), float('-inf'),
                       float('nan')])
  if kind == 4:
    return rng.choice(TEXTS)
  if kind == 5:
    return RaisingStr(rng.choice(['C:\\', 'serial:1', '']))
  if kind == 6:
    return RaisingUnicode(rng.choice([u'C:\\', u'serial:1', u'']))
  if kind == 7:
    return rng.choice([WrongInt(), RaisingInt(), RaisingAttributes(), object()])
  if kind == 8:
    return Carrier(RandomValue(rng, depth + 1) if depth < 2 else 1)
  if kind == 9:
    return rng.choice([True, False])
  if kind == 10:
    return os.stat('/') if rng.random() < 0.5 else os.stat_result((0,) * 10)
  if kind == 11 and depth < 2:
    return [RandomValue(rng, depth + 1) for _ in range(rng.randrange(3))]
  if kind == 12 and depth < 2:
    return dict((rng.choice(['serial:1', 1, u'x']), RandomValue(rng, depth + 1))
                for _ in range(rng.randrange(3)))
  return u''.join(unichr(rng.randrange(0x10000)) for _ in range(rng.randrange(8)))


KEYWORDS = ['path', 'handle', 'guid_path', 'stat_result', 'serial_number',
            'force_update', 'volume_id', 'st_dev', 'current_volume_ids',
            'self', 'size', u'path', 'x' * 300]


def Hostilities(rng):
  """Rebindings of module globals for the length of one call."""
  def Raising(*unused, **unused_too):
    raise Hostile('rebound')
  choices = [
      {}, {}, {},
      {'LOGGER': None},
      {'LOGGER': RaisingAttributes()},
      {'volume_entry': None},
      {'utils': None},
      {'_ListVolumeNames': Raising},
      {'_ListVolumeNames': lambda: [RaisingUnicode(u'C:\\')]},
      {'_ListVolumeNames': lambda: [None, 1, u'\ud800']},
      {'GetVolumeInformation': Raising},
      {'_GetVolumePathNamesForVolumeName': lambda name: [name, None]},
      {'DRIVE_TYPE_MAP': None},
      {'VOLUME_NAME_GUID_MATCHER': None},
      {'platform_utils': None},
  ]
  return rng.choice(choices)


class FuzzTest(SimulatedMachineTestCase):

  MANY_CALLS = True

  def Machines(self):
    volume = {'name': VolumeName('a'), 'paths': [u'C:\\', u'D:\\x\\'],
              'serial': 1, 'handles': [1, -1, 2**63 - 1], 'filesystem': 'FAT32'}
    machines = [
        {'volumes': [volume, dict(volume, name=VolumeName('b'), serial=2),
                     {'name': VolumeName('a'), 'fail': {'info': 0}}]},
        {'volumes': [dict(volume, fail={'paths': {'code': 234,
                                                  'returned_length': 3},
                                        'info': 21, 'capacity': 5})],
         'find_next_error': {'after': 1, 'code': 0}},
        {'find_first_error': 0},
        '{"find_first_error": 1e400}',
        '{}\0',
    ]
    return [self.WriteMachine(machine, 'machine%d.json' % index)
            for index, machine in enumerate(machines)]

  def testEveryCallableWithRandomArguments(self):
    rng = random.Random(SEED)
    machines = self.Machines()
    service = VolumeInfoClass()
    callables = call_paths.Callables(volumes, service)
    calls = 0
    with PlatformLinesDropped():
      for _ in range(CALLS_PER_CALLABLE):
        for function in callables:
          os.environ['VOLUMES_SIMULATION'] = rng.choice(machines + [''])
          args = [RandomValue(rng) for _ in range(rng.choice([0, 1, 1, 2, 2, 3]))]
          kwargs = dict((rng.choice(KEYWORDS), RandomValue(rng))
                        for _ in range(rng.choice([0, 0, 0, 1, 2])))
          calls += 1
          try:
            with Rebound(**Hostilities(rng)):
              function(*args, **kwargs)
          except SystemError as error:
            self.fail('call %d (seed %d): %s(*%r, **%r): SystemError %s'
                      % (calls, SEED, getattr(function, '__name__', function),
                         args, kwargs, error))
          except Exception:  # pylint: disable=broad-except
            pass
    sys.stderr.write('%d fuzzed calls of %d callables\n' % (calls, len(callables)))


if __name__ == '__main__':
  unittest.main()
