"""The module's hot paths as a host would write them in plain Python 2.7.

The benchmark runs this file as it is and compiled with cython3 -2, against
the module.  It answers as the module does for what the benchmark asks: IDs
interned, IsFAT cached per ID, lookups and copies of the volume table.
"""

FAT_FILESYSTEMS = frozenset(['fat32', 'exfat'])
_is_fat_cache = {}


def _VolumeIDFromSerialNumber(serial_number):
  return intern('serial:%s' % serial_number)


def FindVolumeID(stat_result):
  return _VolumeIDFromSerialNumber(stat_result.st_dev)


def IsFAT(serial_number, handle):
  volume_id = _VolumeIDFromSerialNumber(serial_number)
  cached = _is_fat_cache.get(volume_id)
  if cached is not None:
    return cached
  is_fat = handle.filesystem.lower() in FAT_FILESYSTEMS
  _is_fat_cache[volume_id] = is_fat
  return is_fat


class VolumeInfo(object):
  """The service's lookups over a table that the caller hands it."""

  def __init__(self, volume_entries):
    self._volume_ids = {}
    self._volume_entries = volume_entries

  def FindVolumeID(self, stat_result):
    return FindVolumeID(stat_result)

  def GetVolumeEntryForVolumeID(self, volume_id):
    return self._volume_entries.get(volume_id)

  def AllVolumeEntries(self, force_update=False):
    if not self._volume_entries or force_update:
      self._PopulateVolumeTable(self._volume_ids)
    return self._volume_entries.copy()

  def _PopulateVolumeTable(self, current_volume_ids):
    raise NotImplementedError('the benchmark only reads the table')
