#!/bin/sh
# The module's dynamic symbol table must define exactly the three factories.
set -eu
module=$1
symbols=$(nm -D --defined-only "$module" | awk '$2 ~ /^[TtWwVvDdBbRr]$/ {print $3}' | sort)
expected=$(printf '%s\n' createClientBrowseInstance createICoordinatorInstanceV1 createIControllerInstanceV1 | sort)
if [ "$symbols" != "$expected" ]; then
  echo "unexpected exports of $module:"
  echo "$symbols"
  exit 1
fi
echo "exports of $module: $(echo $symbols)"
