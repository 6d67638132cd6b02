#!/usr/bin/env python3
"""limit_file_size.py BYTES COMMAND...: runs COMMAND with RLIMIT_FSIZE set to
BYTES and SIGXFSZ ignored, so that a write past the limit comes back short
(or fails with EFBIG) instead of killing the process."""
import os
import resource
import signal
import sys

limit = int(sys.argv[1])
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)   # kept across exec
resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
os.execvp(sys.argv[2], sys.argv[2:])
