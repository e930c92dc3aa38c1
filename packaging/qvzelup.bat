#!/bin/sh
# Upload job: qvzel_cron starts this file from the Olmar directory when
# the schedule's "qvzel_up" entry is due.  It runs the job runner once; the
# runner keeps its own outcome files and always ends with 0.
# qvzel_nt is taken from PATH, else from the directory it was installed to.
if command -v qvzel_nt >/dev/null 2>&1; then
    exec qvzel_nt -u
fi
exec "@ZEL_BINDIR@/qvzel_nt" -u
