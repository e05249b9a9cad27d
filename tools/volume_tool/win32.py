"""kernel32's codes that the command meets, written once.  The drive types
that the table knows are the module's own DRIVE_TYPE_MAP's keys."""

ERROR_ACCESS_DENIED = 5
ERROR_NOT_READY = 21
ERROR_TIMEOUT = 1460
ERROR_BAD_CONFIGURATION = 1610
# What GetDriveTypeW answers where it cannot tell.
DRIVE_UNKNOWN = 0
