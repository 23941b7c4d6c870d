#!/usr/bin/python3
"""A read-only FUSE view of a folder that stops answering on request.

hangfs.py BACKING MOUNTPOINT HANGFLAG: while the file HANGFLAG exists, every
call waits (as a file server that froze) until it is removed."""
import errno
import os
import sys
import time

import fusepy


class HangFS(fusepy.Operations):
    def __init__(self, backing, flag):
        self.backing = backing
        self.flag = flag

    def _path(self, path):
        while os.path.exists(self.flag):
            time.sleep(0.05)
        return os.path.join(self.backing, path.lstrip('/'))

    def getattr(self, path, fh=None):
        try:
            st = os.lstat(self._path(path))
        except OSError as e:
            raise fusepy.FuseOSError(e.errno)
        return {k: getattr(st, k) for k in (
            'st_mode', 'st_nlink', 'st_size', 'st_uid', 'st_gid',
            'st_atime', 'st_mtime', 'st_ctime')}

    def readdir(self, path, fh):
        try:
            return ['.', '..'] + os.listdir(self._path(path))
        except OSError as e:
            raise fusepy.FuseOSError(e.errno)

    def open(self, path, flags):
        if flags & (os.O_WRONLY | os.O_RDWR):
            raise fusepy.FuseOSError(errno.EROFS)
        try:
            return os.open(self._path(path), os.O_RDONLY)
        except OSError as e:
            raise fusepy.FuseOSError(e.errno)

    def read(self, path, size, offset, fh):
        self._path(path)
        return os.pread(fh, size, offset)

    def release(self, path, fh):
        os.close(fh)
        return 0


if __name__ == '__main__':
    fusepy.FUSE(HangFS(sys.argv[1], sys.argv[3]), sys.argv[2], foreground=True, ro=True)
