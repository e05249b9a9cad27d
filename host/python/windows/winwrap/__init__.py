"""Stand-in for the host application's windows.winwrap.

It offers what windows.volumes needs of it: RaiseWindowsError, which raises
WindowsError for a Windows error code, published to native modules through
the capsule _C_API.  Where the interpreter has no WindowsError (anywhere but
Windows), this module defines one, a subclass of OSError with `winerror`,
and installs it among the built-ins, as Windows has it.
"""
from __future__ import absolute_import

import __builtin__
import errno

if not hasattr(__builtin__, 'WindowsError'):

  # The POSIX errno that Windows' own WindowsError reports for a code.
  _ERRNO_OF_WINERROR = {
      2: errno.ENOENT, 3: errno.ENOENT, 5: errno.EACCES, 6: errno.EBADF,
      8: errno.ENOMEM, 18: errno.ENOENT, 206: errno.ENOENT,
  }

  class WindowsError(OSError):
    """A failed Windows call; `winerror` is its Windows error code."""

    def __init__(self, *args):
      OSError.__init__(self, *args)
      self.winerror = args[0] if len(args) >= 2 else None
      if self.winerror is not None:
        self.errno = _ERRNO_OF_WINERROR.get(self.winerror, errno.EINVAL)

    def __str__(self):
      if self.winerror is None:
        return OSError.__str__(self)
      return '[Error %s] %s' % (self.winerror, self.strerror)

  WindowsError.__module__ = 'exceptions'
  __builtin__.WindowsError = WindowsError

from windows.winwrap._winwrap import RaiseWindowsError, _C_API
