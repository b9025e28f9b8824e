#!/usr/bin/env bash
# The message template daemon/po/ORVW_TKV_ZANT.pot must hold exactly the
# texts that the daemon's sources pass to the catalogue (the build target
# kyrkiod-pot writes it again).
set -euo pipefail
top=$(cd "$1" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$top"
xgettext --language=C++ --keyword= --keyword=tr --from-code=UTF-8 \
  -o "$tmp/now.pot" daemon/core/main.cc
pot=daemon/po/ORVW_TKV_ZANT.pot
# Each side must contain every text of the other.
if msgcmp --use-untranslated "$tmp/now.pot" "$pot" && msgcmp --use-untranslated "$pot" "$tmp/now.pot"; then
  echo "PASS: $pot is current"
else
  echo "FAIL: $pot differs from the sources; run: cmake --build build --target kyrkiod-pot"
  exit 1
fi
