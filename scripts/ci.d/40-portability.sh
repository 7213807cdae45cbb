#!/usr/bin/env bash
# Compiles (syntax and warnings only) the module's sources against the headers of older
# CPython versions found on this machine, to keep our own C API use portable to 3.7+.
# Linking needs a Boost.Python built for that version, which Debian ships only for 3.11.
set -euo pipefail
cd "$(dirname "$0")/../.."
started=$SECONDS
checked=()
for version in 3.7 3.8 3.10; do
  include=$(ls -d /root/.pyenv/versions/"$version".*/include/python"$version"* \
    /usr/include/python"$version"* 2>/dev/null | head -n 1 || true)
  [ -n "$include" ] || continue
  printf '%s\n' src/*/*.cpp | xargs -P 2 -I{} g++ -std=c++20 -fsyntax-only -Wall -Wextra -Werror \
    -DBOOST_BIND_GLOBAL_PLACEHOLDERS -DBOOST_ALLOW_DEPRECATED_HEADERS -I"$include" {}
  checked+=("$version")
done
if ((${#checked[@]})); then
  echo "portability: sources compile against CPython ${checked[*]} headers ($((SECONDS - started))s)"
else
  echo "portability: no headers of CPython 3.7, 3.8 or 3.10 on this machine; nothing checked"
fi
