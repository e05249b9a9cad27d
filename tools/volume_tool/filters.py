"""Which volumes the command shows (-t/--types, --local), decided from what
the table knows of each before the command asks the volume anything."""


class Filter(object):
  """-t's list of filesystem names, in any letter case, which a "no" before
  the list (or before each name) turns into the names left out, as findmnt
  and mount take it; --local, which leaves out the network's volumes."""

  def __init__(self, types=None, local=False):
    self.local = local
    self.types = None
    self.negated = False
    if types is not None:
      names = [name.strip().lower() for name in types.split(',')]
      self.negated = names[0].startswith('no')
      if self.negated:
        names = [name[2:] if name.startswith('no') else name for name in names]
      self.types = frozenset(names)

  def Keeps(self, filesystem, device_type):
    """Whether a volume of this filesystem and device type (their names,
    None where nothing knows them) is shown: one that is not known to be
    local is not kept by --local, nor one of no known filesystem by a list
    of names to keep."""
    if self.local and device_type in (None, 'NETWORK'):
      return False
    if self.types is None:
      return True
    if filesystem is None:
      return self.negated
    return (filesystem.lower() in self.types) != self.negated
