#!/usr/bin/python3
"""A network share, as a FUSE file system, for the tests and the benchmark.

    fuse-share.py MOUNTPOINT hung
        a share that has stopped answering: its top folder is there, and a lookup of anything
        in it never returns
    fuse-share.py MOUNTPOINT FOLDER [--locks ERRNO] [--delay SECONDS] [--count FILE]
        a share of FOLDER's files that caches nothing (the kernel asks it about every name and
        every attribute each time); with --locks, every lock request is refused with ERRNO
        (EINVAL, say), as by a server that keeps no locks; with --delay, each call is answered
        after SECONDS; with --count, FILE holds the number of calls answered so far

Runs until it is killed; killing it frees whoever waits on it.
"""
import argparse
import errno
import os
import stat
import sys
import threading
import time

from fusepy import FUSE, FuseOSError, Operations


class Hung(Operations):
    def getattr(self, path, fh=None):
        if path == "/":
            now = time.time()
            return {"st_mode": stat.S_IFDIR | 0o777, "st_nlink": 2,
                    "st_atime": now, "st_mtime": now, "st_ctime": now}
        threading.Event().wait()  # never answers
        return {}

    def readdir(self, path, fh):
        threading.Event().wait()
        return []


class Share(Operations):
    use_ns = True

    def __init__(self, folder, delay, count):
        self.folder = folder
        self.delay = delay
        self.count = count
        self.calls = 0
        self.mutex = threading.Lock()

    def __call__(self, op, *args):
        if self.delay:
            time.sleep(self.delay)
        if self.count:
            with self.mutex:
                self.calls += 1
                with open(self.count, "w") as f:
                    f.write("%d\n" % self.calls)
        try:
            return super().__call__(op, *args)
        except OSError as e:
            raise FuseOSError(e.errno)

    def _host(self, path):
        return os.path.join(self.folder, path.lstrip("/"))

    def getattr(self, path, fh=None):
        st = os.lstat(self._host(path))
        keys = ("st_mode", "st_nlink", "st_size", "st_uid", "st_gid", "st_ino")
        attrs = {k: getattr(st, k) for k in keys}
        attrs.update(st_atime=st.st_atime_ns, st_mtime=st.st_mtime_ns, st_ctime=st.st_ctime_ns)
        return attrs

    def readdir(self, path, fh):
        return [".", ".."] + os.listdir(self._host(path))

    def mkdir(self, path, mode):
        os.mkdir(self._host(path), mode)

    def create(self, path, mode, fi=None):
        return os.open(self._host(path), os.O_RDWR | os.O_CREAT | os.O_EXCL, mode)

    def open(self, path, flags):
        return os.open(self._host(path), flags & ~(os.O_CREAT | os.O_EXCL))

    def read(self, path, size, offset, fh):
        return os.pread(fh, size, offset)

    def write(self, path, data, offset, fh):
        return os.pwrite(fh, data, offset)

    def truncate(self, path, length, fh=None):
        os.truncate(self._host(path), length)

    def unlink(self, path):
        os.unlink(self._host(path))

    def rmdir(self, path):
        os.rmdir(self._host(path))

    def release(self, path, fh):
        os.close(fh)

    def chmod(self, path, mode):
        os.chmod(self._host(path), mode)

    def chown(self, path, uid, gid):
        os.chown(self._host(path), uid, gid)

    def utimens(self, path, times=None):
        os.utime(self._host(path), ns=times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mountpoint")
    parser.add_argument("folder")
    parser.add_argument("--locks")
    parser.add_argument("--delay", type=float, default=0)
    parser.add_argument("--count")
    options = parser.parse_args()
    if options.folder == "hung":
        FUSE(Hung(), options.mountpoint, foreground=True)
        return
    share = Share(os.path.abspath(options.folder), options.delay, options.count)
    if options.locks:
        refused = getattr(errno, options.locks)

        def lock(path, fh, cmd, lock):
            raise FuseOSError(refused)

        share.lock = lock
    FUSE(share, options.mountpoint, foreground=True, allow_other=True, default_permissions=True,
         entry_timeout=0, attr_timeout=0, negative_timeout=0, direct_io=True)


if __name__ == "__main__":
    main()
