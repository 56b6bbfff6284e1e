#!/bin/sh
# Velmira example launcher
echo "Velmira example $(cat "$(dirname "$0")/../share/version.txt")"
