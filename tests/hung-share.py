#!/usr/bin/python3
"""A network share that has stopped answering, as a FUSE file system: its top folder is
there, and a lookup of anything in it never returns. For the test that a run on such a share
still ends within its bound. Runs until it is killed; killing it frees whoever waits on it.

    hung-share.py MOUNTPOINT
"""
import stat
import sys
import threading
import time

from fusepy import FUSE, Operations


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


if __name__ == "__main__":
    FUSE(Hung(), sys.argv[1], foreground=True)
