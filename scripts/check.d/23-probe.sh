#!/usr/bin/env bash
# The hostile probe generated from the surface inventory: every case on the release
# interpreter, a seeded sample on python3.11-dbg -X dev.
exec "$(dirname "$0")/../reliability/probe.sh"
