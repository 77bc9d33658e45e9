#!/bin/sh
# no_executable_pool.sh - shows that no_executable_pool.h, forced into every
# compile of the driver's images, refuses each way of asking for executable
# pool and lets the no-execute and paged types through.
#
#   no_executable_pool.sh CXX KIT_INCLUDE_DIR PROJECT_DIR
#
# Each row compiles windows/tests/planted_pool.cpp with one case; a refused
# case must fail with the header's message (or, for a pool type that is not
# a constant, the compiler's refusal of the template argument).
set -u
cxx=$1
ddk=$2
project=$3
header=$project/windows/no_executable_pool.h
source=$project/windows/tests/planted_pool.cpp

failures=0
while read -r case expect pattern; do
  [ -z "$case" ] && continue
  out=$("$cxx" -std=c++20 -DBRIDGESER_WINDOWS_KERNEL -ffreestanding -fno-exceptions -fno-rtti \
        -Wno-multichar -I"$project" -isystem "$ddk" -include "$header" -DCASE_"$case" \
        -fsyntax-only "$source" 2>&1)
  status=$?
  if [ "$expect" = accepted ]; then
    [ $status -eq 0 ] && verdict=ok || verdict=FAIL
  else
    if [ $status -ne 0 ] && printf '%s' "$out" | grep -q -- "$pattern"; then verdict=ok; else verdict=FAIL; fi
  fi
  printf '%-4s %-20s %s\n' "$verdict" "$case" "$expect"
  if [ $verdict = FAIL ]; then
    failures=$((failures + 1))
    printf '%s\n' "$out" | head -n 20
  fi
done <<'TABLE'
NX                  accepted
NX_CACHE_ALIGNED    accepted
PAGED               accepted
LOOKASIDE_NX        accepted
NON_PAGED           refused  executable pool
EXECUTE             refused  executable pool
CACHE_ALIGNED       refused  executable pool
SESSION             refused  executable pool
MACRO               refused  executable pool
UNTAGGED            refused  executable pool
PRIORITY            refused  executable pool
CALLER_CHOOSES      refused  constant
LOOKASIDE           refused  POOL_NX_ALLOCATION
TABLE
[ $failures -eq 0 ] && echo "no_executable_pool: every case as expected" || echo "no_executable_pool: $failures case(s) wrong"
[ $failures -eq 0 ]
