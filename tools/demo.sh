#!/usr/bin/env bash
# Installs what is missing, builds, and starts the program in a demo installation folder (build/demo).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target vexa-quorvex

demo=build/demo
mkdir -p "$demo"
if [[ ! -f "$demo/INSTALLATION.INI" ]]; then
    # Written as a Windows installer would: Windows-1252 and CR LF.
    sed 's/$/\r/' <<'INI' | iconv -f UTF-8 -t WINDOWS-1252 > "$demo/INSTALLATION.INI"
; Demo-Installation von Vexa-Quorvex
[Installation]
Produkt=
Firmennummer=0001
[Firma1]
Name=Demo-Kassa Hauptgeschäft
Nummer=01
Test=J
[Firma2]
Name=Demo-Kassa Filiale
Nummer=02
Test=J
INI
fi
cd "$demo"
exec ../app/vexa-quorvex
