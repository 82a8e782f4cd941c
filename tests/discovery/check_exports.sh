#!/bin/sh
# Fails unless the search library's dynamic symbol table defines exactly the nine search
# functions the panel resolves, and nothing else.
set -eu
expected="QBDM_GetAppProtocol QBDM_GetBaudrateIndex QBDM_GetDataBits QBDM_GetDevName QBDM_GetIP QBDM_GetParity QBDM_GetPort QBDM_GetWorkMode QBDM_StartSearchDev"
actual=$(nm -D --defined-only "$1" | awk '{print $NF}' | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//')
if [ "$actual" != "$expected" ]; then
    echo "exported: $actual"
    exit 1
fi
