"""A volume's filesystem flags, as GetVolumeInformation gives them, named as
kernel32 names them, without the FILE_ prefix."""

READ_ONLY_VOLUME = 0x00080000

# By bit, lowest first; None where kernel32 names no flag.
_KERNEL32_NAMES = (
    'CASE_SENSITIVE_SEARCH', 'CASE_PRESERVED_NAMES', 'UNICODE_ON_DISK',
    'PERSISTENT_ACLS', 'FILE_COMPRESSION', 'VOLUME_QUOTAS',
    'SUPPORTS_SPARSE_FILES', 'SUPPORTS_REPARSE_POINTS',
    'SUPPORTS_REMOTE_STORAGE', 'RETURNS_CLEANUP_RESULT_INFO',
    'SUPPORTS_POSIX_UNLINK_RENAME', 'SUPPORTS_BYPASS_IO',
    'SUPPORTS_STREAM_SNAPSHOTS', 'SUPPORTS_CASE_SENSITIVE_DIRS', None,
    'VOLUME_IS_COMPRESSED', 'SUPPORTS_OBJECT_IDS', 'SUPPORTS_ENCRYPTION',
    'NAMED_STREAMS', 'READ_ONLY_VOLUME', 'SEQUENTIAL_WRITE_ONCE',
    'SUPPORTS_TRANSACTIONS', 'SUPPORTS_HARD_LINKS',
    'SUPPORTS_EXTENDED_ATTRIBUTES', 'SUPPORTS_OPEN_BY_FILE_ID',
    'SUPPORTS_USN_JOURNAL', 'SUPPORTS_INTEGRITY_STREAMS',
    'SUPPORTS_BLOCK_REFCOUNTING', 'SUPPORTS_SPARSE_VDL', 'DAX_VOLUME',
    'SUPPORTS_GHOSTING')
_NAMES = dict((1 << bit, name) for bit, name in enumerate(_KERNEL32_NAMES)
              if name)


def Names(flags):
  """The name of each bit set, lowest first; a bit that kernel32 names not
  in hex (0x4000)."""
  return [_NAMES.get(1 << bit, '0x%x' % (1 << bit))
          for bit in range(32) if flags >> bit & 1]
