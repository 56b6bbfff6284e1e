#!/bin/sh
# Builds the staged tree of the example product, version 1.0.0, 1.1.0 or 1.2.0, from the files in source/, as
# "make install DESTDIR=..." would: every path with its owner, mode and time. Run it as root, or under
# fakeroot, since it gives files owners. "propagate --create" then makes the repository from it:
#
#   examples/make-stage.sh 1.1.0 /tmp/velmira-stage
#   propagate --create --keep etc/app.conf --keep var --keep 'var/*.log' /tmp/velmira-stage /tmp/velmira-repo
set -eu
version=$1 stage=$2 source=$(dirname "$0")/source
case $version in
  1.0.0) conf=app-1.0.0.conf ;;
  1.1.0 | 1.2.0) conf=app-1.1.0.conf ;;  # 1.2.0 ships the configuration of 1.1.0 unchanged
  *) echo "make-stage.sh: no version $version (1.0.0, 1.1.0 or 1.2.0)" >&2; exit 1 ;;
esac
install -d -m 0755 "$stage" "$stage/bin" "$stage/etc" "$stage/share"
install -m 0755 "$source/velmira.sh" "$stage/bin/velmira"
install -m 0644 "$source/$conf" "$stage/etc/app.conf"
install -m 0644 "$source/README.txt" "$stage/share/read me.txt"
echo "$version" >"$stage/share/version.txt" && chmod 0644 "$stage/share/version.txt"
ln -s "read me.txt" "$stage/share/README"
# 1.2.0 logs to the system log and has no set-user-ID helper: it drops the helper, var and the log file.
if [ "$version" != 1.2.0 ]; then
  install -d -o daemon -g adm -m 0750 "$stage/var"
  install -o root -g adm -m 4750 "$source/helper.sh" "$stage/bin/velmira-helper"
  install -o daemon -g adm -m 0640 /dev/null "$stage/var/velmira.log"
fi
# Everything dates from the release of 1.0.0; what a later version changed, from the release that changed it.
find "$stage" -mindepth 1 -exec touch -h -d @1700000000 {} +
if [ "$version" != 1.0.0 ]; then
  install -m 0644 "$source/NEWS-$version.txt" "$stage/share/NEWS.txt"
  touch -d @1710000000 "$stage/etc/app.conf" "$stage/share/version.txt" "$stage/share/NEWS.txt"
  touch -d @1700000000 "$stage/share"
fi
if [ "$version" = 1.2.0 ]; then
  touch -d @1720000000 "$stage/share/version.txt" "$stage/share/NEWS.txt"
fi
