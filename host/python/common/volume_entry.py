"""Stand-in for the host's volume records: VolumeEntry and DeviceType."""


class DeviceType(object):
  """The kind of device that holds a volume; its members are class attributes."""

  def __init__(self, name):
    self.name = name

  def __repr__(self):
    return 'DeviceType.%s' % self.name


for _name in ('UNKNOWN', 'REMOVABLE', 'INTERNAL', 'NETWORK', 'RAM'):
  setattr(DeviceType, _name, DeviceType(_name))
del _name


class VolumeEntry(object):
  """One volume of the machine, as the volume table records it."""

  FIELDS = ('volume', 'mountpoint', 'device_file', 'device_number', 'uuid',
            'model', 'device_type', 'label', 'filesystem', 'size')
  __slots__ = FIELDS

  def __init__(self, volume, mountpoint, device_file, device_number, uuid,
               model, device_type, label, filesystem, size):
    self.volume = volume
    self.mountpoint = mountpoint
    self.device_file = device_file
    self.device_number = device_number
    self.uuid = uuid
    self.model = model
    self.device_type = device_type
    self.label = label
    self.filesystem = filesystem
    self.size = size

  def __repr__(self):
    return 'VolumeEntry(%s)' % ', '.join(
        '%s=%r' % (field, getattr(self, field)) for field in self.FIELDS)
