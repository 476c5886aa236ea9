#!/usr/bin/env bash
# Makes a demo installation of Vexa-Quorvex in a folder, as tools/demo.sh shows it and as the journey tests start
# the program in it: a PLUMOXA installation with a SQLite till database whose receipts a demo card signed through the
# program's own signing service, login data for two companies (01 accepted by the local test service, 02 with a wrong
# PIN), the status-receipt explanations and the user guide. Needs the tools built in <build-dir>.
#
#   tools/demo-install.sh [--pkcs11] [--receipts N] <build-dir> <folder> <address:port> <ca-file>
#
# <address:port> is where the local FinanzOnline test service listens, <ca-file> its CA (written into the installation
# as given). With --pkcs11 the card is a SoftHSM2 token "Kassa 1" of the folder's own SoftHSM2 installation; whoever
# starts the program then sets SOFTHSM2_CONF=<folder>/softhsm/softhsm2.conf. A folder that already holds a database
# keeps it and its cards; the INI files are written anew, the login data only when missing.
set -euo pipefail
pkcs11=no
receipts=4000
while [[ $# -gt 0 && "$1" == --* ]]; do
    case "$1" in
        --pkcs11) pkcs11=yes; shift ;;
        --receipts) receipts=$2; shift 2 ;;
        *) echo "Unbekannte Option: $1" >&2; exit 2 ;;
    esac
done
if [[ $# -ne 4 ]]; then
    echo "Aufruf: demo-install.sh [--pkcs11] [--receipts N] <Build-Ordner> <Ordner> <Adresse:Port> <CA-Datei>" >&2
    exit 2
fi
source=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
mkdir -p "$2"
demo=$(cd "$2" && pwd)
connectTo=$3
caFile=$4

# Windows-1252 and CR LF, as Windows programs write INI files.
ini() { sed 's/$/\r/' | iconv -f UTF-8 -t WINDOWS-1252 > "$1"; }

# The host product's database: a year of receipts of two tills, signed by a demo card of the software signature
# unit (reader "Leser 1", PIN 123456) through the program's signing service, as a till signs them: the card registered,
# start and month receipts, the chain and the turnover counter under the installation's AES secret.
driver=$(dpkg -L libsqliteodbc | grep 'libsqlite3odbc.so$' | head -n 1)
signatur=
card=(--readers Karten --reader "Leser 1")
if [[ $pkcs11 == yes ]]; then
    # The card on a SoftHSM2 token "Kassa 1" (user PIN 123456) of the installation's own SoftHSM2: the test card's key
    # and certificates are made as for the software unit, then put onto the token, as a card issuer would.
    module=/usr/lib/softhsm/libsofthsm2.so
    export SOFTHSM2_CONF="$demo/softhsm/softhsm2.conf"
    if [[ ! -f "$SOFTHSM2_CONF" ]]; then
        mkdir -p "$demo/softhsm/tokens"
        printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' \
            "$demo/softhsm/tokens" > "$SOFTHSM2_CONF"
        staging="$demo/softhsm/karte"
        "$build/tools/quorvex-card/quorvex-card" --readers "$staging" --reader "Kassa 1" --pin 123456 \
            --ca-dir "$demo/karten-ca" --intermediate
        softhsm2-util --init-token --free --label "Kassa 1" --pin 123456 --so-pin 87654321 >/dev/null
        softhsm2-util --import "$staging/Kassa 1/key.pem" --file-pin 123456 --token "Kassa 1" --label Karte \
            --id 01 --pin 123456 >/dev/null
        id=1
        cat "$staging/Kassa 1/certificate.pem" "$staging/Kassa 1/chain.pem" > "$staging/alle.pem"
        csplit -s -z -f "$staging/zertifikat-" "$staging/alle.pem" '/-----BEGIN CERTIFICATE-----/' '{*}'
        for pem in "$staging"/zertifikat-*; do
            openssl x509 -in "$pem" -outform der -out "$pem.der"
            pkcs11-tool --module "$module" --token-label "Kassa 1" --login --pin 123456 --write-object "$pem.der" \
                --type cert --id "$(printf '%02x' $id)" --label "Zertifikat $id" >/dev/null
            id=$((id + 1))
        done
        rm -rf "$staging"
    fi
    signatur="PKCS11:$module;token=Kassa 1;vda=AT99"
    # The reader is the token's slot, named by its description.
    reader=$(pkcs11-tool --module "$module" --list-slots 2>/dev/null | grep -B1 '^  token label *: Kassa 1$' \
        | sed -n 's/^Slot [0-9]* ([0-9a-fx]*): //p')
    card=(--signatur "$signatur" --reader "$reader")
fi
if [[ ! -f "$demo/kassa.db" ]]; then
    (
        cd "$demo"
        [[ $pkcs11 == yes ]] || "$build/tools/quorvex-card/quorvex-card" --readers Karten --reader "Leser 1" \
            --pin 123456 --ca-dir karten-ca
        # The receipts end yesterday, so the till may sign today (on New Year's Day the year before is the demo's).
        if [[ $(date +%m%d) == 0101 ]]; then
            days=(--year "$(date -d yesterday +%Y)")
        else
            days=(--year "$(date +%Y)" --until "$(date -d yesterday +%F)")
        fi
        "$build/tools/demodata/quorvex-demodata" --connection "Driver=$driver;Database=kassa.db;" \
            --receipts "$receipts" "${days[@]}"
        "$build/tools/demosign/quorvex-demosign" --connection "Driver=$driver;Database=kassa.db;" "${card[@]}" \
            --pin 123456 --product PLUMOXA --company 0001
    )
fi

ini "$demo/INSTALLATION.INI" <<INI
; Demo-Installation von Vexa-Quorvex: FinanzOnline ist der lokale Testdienst auf $connectTo.
[Installation]
Produkt=PLUMOXA
Firmennummer=0001
Datenbank=Driver=$driver;Database=kassa.db;
FinanzOnline-CA=$caFile
FinanzOnline-Verbindung=$connectTo
${signatur:+Signatur=$signatur}
[Firma1]
Name=Demo-Kassa Hauptgeschäft
Nummer=01
Test=J
[Firma2]
Name=Demo-Kassa Filiale (falsche PIN)
Nummer=02
Test=J
INI
# Login data once; what the user changes in the settings window stays.
[[ -f "$demo/01QUORVEX.INI" ]] || ini "$demo/01QUORVEX.INI" <<'INI'
[QUORVEX]
Version=1.0
Tid=123456789012
Benid=WEBUSER01
Pin=geheim123
Uidnr=ATU12345678
INI
[[ -f "$demo/02QUORVEX.INI" ]] || ini "$demo/02QUORVEX.INI" <<'INI'
[QUORVEX]
Version=1.0
Tid=123456789012
Benid=WEBUSER01
Pin=falsch99
Uidnr=ATU12345678
INI
chmod 600 "$demo"/0?QUORVEX.INI
[[ -f "$build/Quorvex.CHM" ]] && cp "$build/Quorvex.CHM" "$demo/"
# The explanations of the status-receipt dialog, read from its help folder (here the installation folder).
cp "$source"/help/rksv/*.rtf "$demo/"
# Values a new user can copy into the forms that want them (a user key of 44 characters, a signed receipt).
cat > "$demo/Beispielwerte.txt" <<'VALUES'
Beispielwerte für die Demo (in die Formulare kopieren):

Benutzerschlüssel (Registrierung Registrierkasse):
uW4h0LsV7V1mZ9q3bY2cT6xN8pR5kD1fG0jH3sA7eQ8=

Zertifikatsseriennummer (Signaturerstellungseinheit):
3D1F2A

Kassenidentifikationsnummer:
DEMO-KASSE-01

Beleg (Belegprüfung, mit "Beleg aus Ablage einfügen"):
_R1-AT1_DEMO-KASSE-01_1_2026-12-07T10:48:15_0,00_0,00_0,00_0,00_0,00_AAAAAAAA=_3d1f2a_AAAAAAAAAAA=_AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA
VALUES
