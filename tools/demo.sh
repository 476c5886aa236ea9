#!/usr/bin/env bash
# Installs what is missing, builds, starts the local FinanzOnline test service and the program in a demo
# installation folder (build/demo). Company 01 has login data the test service accepts; company 02 has a wrong PIN,
# so FinanzOnline's refusal can be seen too. The program is the real one: only INSTALLATION.INI points it at the
# local service. Everything stops when the program's window is closed.
#
#   tools/demo.sh            the software signature unit (card folder build/demo/Karten)
#   tools/demo.sh --pkcs11   a SoftHSM2 token as the signature card, through the PKCS#11 component (build/demo-pkcs11)
set -euo pipefail
cd "$(dirname "$0")/.."
pkcs11=no
[[ "${1:-}" == "--pkcs11" ]] && pkcs11=yes
bash tools/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target vexa-quorvex vexa-quorvex-rksv fon-test-service quorvex-card quorvex-demodata \
    quorvex-demosign
cmake --build build -j"$(nproc)" --target help_chm 2>/dev/null || true

demo=build/demo
[[ $pkcs11 == yes ]] && demo=build/demo-pkcs11
mkdir -p "$demo/fon"
cat > "$demo/fon/accounts.txt" <<'ACCOUNTS'
# tid         benid      pin
123456789012  WEBUSER01  geheim123
ACCOUNTS
rm -f "$demo/fon/port"
build/fontest/fon-test-service --state-dir "$demo/fon" --schemas fontest/schema \
    --accounts "$demo/fon/accounts.txt" >/dev/null &
service=$!
trap 'kill $service 2>/dev/null || true' EXIT
for _ in $(seq 200); do
    [[ -s "$demo/fon/port" ]] && break
    sleep 0.1
done
if [[ ! -s "$demo/fon/port" ]]; then
    echo "Der lokale FinanzOnline-Testdienst ist nicht gestartet." >&2
    exit 1
fi
port=$(cat "$demo/fon/port")

extra=()
[[ $pkcs11 == yes ]] && extra+=(--pkcs11)
bash tools/demo-install.sh "${extra[@]}" build "$demo" "127.0.0.1:$port" fon/ca.pem
[[ $pkcs11 == yes ]] && export SOFTHSM2_CONF="$PWD/$demo/softhsm/softhsm2.conf"

cd "$demo"
../app/vexa-quorvex
