#!/usr/bin/env bash
# Fails when a file includes a header of its own layer's betters: sys < table < install, verify, create
# (which never include each other) < the program at the top of the folder.
cd "${1:-$(dirname "$0")}" || exit 1
allowed() {  # allowed LAYER: the folders that LAYER may include from
  case $1 in
    sys) echo "sys" ;;
    table) echo "sys table" ;;
    install | verify | create) echo "sys table $1" ;;
    top) echo "sys table install verify create top" ;;
  esac
}
status=0
for file in */*.h */*.cc *.h *.cc; do
  layer=${file%%/*}
  [ "$layer" == "$file" ] && layer=top
  for header in $(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file"); do
    target=${header%%/*}
    [ "$target" == "$header" ] && target=top
    if ! [[ " $(allowed "$layer") " == *" $target "* ]]; then
      echo "$file includes $header, above its layer"
      status=1
    fi
  done
done
exit $status
