"""The command's columns, named as findmnt and lsblk name theirs, and how a
record's values show in them."""

import collections

from volume_tool import text

Column = collections.namedtuple('Column', 'key right_aligned help')

# `key` is the key of the same value in the records (records.py) and the
# --json objects.
COLUMNS = collections.OrderedDict([
    ('ACTION', Column('action', False,
                      '--poll, always first: add, remove or change')),
    ('PATH', Column('path', False, 'the PATH asked about')),
    ('TARGET', Column('target', False,
                      'the mount point under which PATH lies (the longest '
                      'that holds it)')),
    ('MOUNTPOINT', Column('mountpoint', False,
                          'the mount point the table chose (the shortest)')),
    ('MOUNTPOINTS', Column('mountpoints', False,
                           'every mount point, the chosen one first')),
    ('LABEL', Column('label', False, 'volume label')),
    ('FSTYPE', Column('filesystem', False, 'filesystem name')),
    ('TYPE', Column('device_type', False, 'device type')),
    ('SIZE', Column('size', True, 'filesystem size')),
    ('USED', Column('used', True, 'space in use')),
    ('AVAIL', Column('avail', True, 'space that users may still fill')),
    ('USE%', Column('use%', True, 'used / (used + avail), rounded up')),
    ('RO', Column('ro', True, 'read-only (1) or not (0)')),
    ('FLAGS', Column('flags', False,
                     'filesystem flags, by kernel32\'s names without FILE_')),
    ('MAXCOMP', Column('maxcomp', True, 'the longest file name allowed')),
    ('VOLUME', Column('volume', False,
                      'volume ID, what FindVolumeID gives for its files')),
    ('GUIDPATH', Column('device_file', False, 'volume GUID path')),
    ('UUID', Column('uuid', False, 'the GUID of the GUID path')),
    ('SERIAL', Column('device_number', True, 'volume serial number')),
    ('STATE', Column('state', False,
                     'ok, or why the table left the volume out: timed out, '
                     'no mount point, access denied, not ready, ...')),
])
DEFAULT_COLUMNS = ('MOUNTPOINTS', 'LABEL', 'FSTYPE', 'TYPE', 'SIZE', 'USED',
                   'AVAIL', 'USE%', 'VOLUME', 'GUIDPATH', 'STATE')
DEFAULT_PATH_COLUMNS = ('PATH', 'TARGET') + DEFAULT_COLUMNS
DEFAULT_POLL_COLUMNS = ('ACTION', 'MOUNTPOINTS', 'LABEL', 'FSTYPE', 'TYPE',
                        'SIZE', 'VOLUME')
SIZE_KEYS = frozenset(('size', 'used', 'avail'))
# What the command reads of a volume itself for these columns.
FLAG_KEYS = frozenset(('ro', 'flags', 'maxcomp'))


def Names(listed, poll, paths, error):
  """The columns of -o LIST (+LIST adds to the defaults), or the defaults;
  error(message) for a column that is none."""
  default = list(DEFAULT_POLL_COLUMNS if poll else
                 DEFAULT_PATH_COLUMNS if paths else DEFAULT_COLUMNS)
  if listed is None:
    return default
  names = default if listed.startswith('+') else []
  for name in listed.lstrip('+').split(','):
    name = name.strip().upper()
    if name not in COLUMNS:
      error('unknown column: %s' % name if name else 'empty column')
    if name == 'ACTION' and not poll:
      error('ACTION is a column of --poll')
    names.append(name)
  if poll:
    names = ['ACTION'] + [name for name in names if name != 'ACTION']
  return names


def Cell(record, name, in_bytes):
  key = COLUMNS[name].key
  value = record.get(key)
  if value is None:
    return u''
  if key in SIZE_KEYS:
    return text.Text(value) if in_bytes else text.HumanSize(value)
  if key == 'use%':
    return u'%d%%' % value
  if key == 'ro':
    return u'1' if value else u'0'
  if key == 'flags':
    return u','.join(value['names'])
  return value


def Lines(records, names, options, encoding, widths=None):
  """The table's lines of `records` in the columns `names`."""
  return text.FormatTable(
      names, [[Cell(record, name, options.bytes) for name in names]
              for record in records],
      right_aligned=[index for index, name in enumerate(names)
                     if COLUMNS[name].right_aligned],
      raw=options.raw, headings=not options.noheadings, encoding=encoding,
      widths=widths)


def Help():
  return '\n'.join('  %-12s %s' % (name, column.help)
                   for name, column in COLUMNS.items())
