"""What a journal costs per trial on a disk: one line written, then fsync-ed.

    python bench/journal_fsync.py [FOLDER ...]    (default: the current folder)

Prints the median and the 90th percentile of 500 appends of a typical trial
line, each followed by ``fsync``, in each folder given. The figure depends on
the disk and the file system far more than on vordaopt: a local SSD takes
0.1-0.3 ms, a laptop disk with its write cache flushed several ms, a network
file system more.
"""

from __future__ import annotations

import os
import sys
import tempfile
import time

LINE = (b'{"number":17,"state":"complete","value":0.02814,"cost":0.41,"params":{"C":4.31,'
        b'"gamma":0.0236,"kernel":"rbf"},"unit":[0.4313,0.6272,0.25]}\n')
APPENDS = 500


def main() -> None:
    for folder in sys.argv[1:] or ["."]:
        fd, path = tempfile.mkstemp(prefix=".journal-fsync-", dir=folder)
        try:
            times = []
            for _ in range(APPENDS):
                began = time.perf_counter()
                os.write(fd, LINE)
                os.fsync(fd)
                times.append(time.perf_counter() - began)
        finally:
            os.close(fd)
            os.unlink(path)
        times.sort()
        print(f"{os.path.abspath(folder)}: one journal line + fsync: median "
              f"{times[APPENDS // 2] * 1e3:.3f} ms, 90th percentile "
              f"{times[APPENDS * 9 // 10] * 1e3:.3f} ms ({APPENDS} appends)")


if __name__ == "__main__":
    main()
