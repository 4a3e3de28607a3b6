#!/bin/sh
# Strips as Debian's dh_strip does: the debugging symbols, and the compiler's
# .comment and .note sections that lintian points out.
exec strip --remove-section=.comment --remove-section=.note "$@"
