#!/bin/sh
# Writes the test certificates (DER) into tests/data, or into the directory given
# as the first argument. Names, serial numbers and dates are fixed; the keys are
# new on every run, so tests compare key bits with the DER file itself.
#
#   ca-gost.der        GOST R 34.10-2012 root, issuer of every certificate below
#   driver-gost.der    serial 00 C3 1F 5A 7E 01 42 (sign octet), notBefore 2013-02-01 21:00:00 UTC,
#                      subject SNILS and INN, no OGRN
#   workshop-ec.der    EC P-256 key, serial 0A, subject without street, INN and OGRN
#   company-gost.der   serial 7F, subject INN and OGRN
#   twoinn-gost.der    serial 01 A3 0F, INN and OU twice in the subject
#   markup-ec.der      serial 05, HTML markup and placeholder text in the subject, no INN
#   company-long-gost.der
#                      serial 0B, names and addresses as long as real ones get, on issuer and subject:
#                      localities of about 55 characters, streets of about 80, holder's name of 45;
#                      issued by a CA of its own (the issuer's fields are the CA's)
#   driver-max-gost.der
#                      serial 0C, the X.520 upper bounds on issuer and subject (common name 64,
#                      locality and street 128 characters) and a 512-bit GOST key (six key lines)
#   company-innle-gost.der
#                      serial 0D, the profile issued since 2021: a legal entity's INN as INNLE
#                      (1.2.643.100.4), no INN, on issuer (UTF8String, as one real CA has it) and
#                      subject (NumericString); issued by a CA of its own
#   entrepreneur-gost.der
#                      serial 0E, an individual entrepreneur: OGRNIP in place of OGRN, INN of 12 digits,
#                      SNILS; same CA
#   director-gost.der  serial 0F, a director: the company's INNLE stated before his own INN; same CA
#   size-1k.der, size-2k.der, size-4k.der
#                      exactly 1024, 2048 and 4096 bytes (padded with a comment extension)
#   *-card.bin         the certificate followed by junk up to the next 256-byte boundary and one
#                      more chunk, as a card's certificate file holds it
#
# Needs openssl 3 and the GOST engine (Debian: libengine-gost-openssl).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here/../tests/data}
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM

GOST="-engine gost"
MD=md_gost12_256

# OpenSSL 3.0 has no name for INNLE.
cat > "$work/req.cnf" <<EOF
openssl_conf = init
[init]
oid_section = oids
[oids]
INNLE = 1.2.643.100.4
[req]
distinguished_name = dn
string_mask = utf8only
utf8 = yes
prompt = no
[dn]
CN = unused
[ca_ext]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
EOF

# Nor a string table entry for INNLE or OGRNIP: their digits would go out as
# UTF8String, not as NumericString as issued.
{
    cat "$work/req.cnf"
    cat <<EOF
[init]
stbl_section = stbl
[stbl]
INNLE = mask:NUMERICSTRING,flags:nomask
OGRNIP = mask:NUMERICSTRING,flags:nomask
EOF
} > "$work/req-numeric.cnf"

cat > "$work/ca.cnf" <<EOF
[ca]
default_ca = test_ca
[test_ca]
database = $work/index.txt
new_certs_dir = $work
serial = $work/serial
policy = policy_any
unique_subject = no
copy_extensions = none
email_in_dn = no
preserve = yes
string_mask = utf8only
utf8 = yes
[policy_any]
commonName = supplied
EOF

ISSUER='/C=RU/ST=Москва/L=Москва/street=ул. Тверская, д. 1/O=АО «Тестовый удостоверяющий центр»/OU=Отдел карт тахографа/CN=Тестовый УЦ карт тахографа/INN=7701000001/OGRN=1027700000001'

quiet() { "$@" > "$work/log" 2>&1 || { cat "$work/log" >&2; exit 1; }; }

gost_key() { quiet openssl genpkey $GOST -algorithm gost2012_256 -pkeyopt paramset:A -out "$1"; }
gost512_key() { quiet openssl genpkey $GOST -algorithm gost2012_512 -pkeyopt paramset:A -out "$1"; }
ec_key() { quiet openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1"; }

# make_ca NAME SUBJECT: a root CA in $work/NAME.pem and NAME.key
make_ca() {
    gost_key "$work/$1.key"
    quiet openssl req $GOST -config "$work/req.cnf" -new -x509 -utf8 -key "$work/$1.key" -$MD \
        -subj "$2" -set_serial 0x01 -days 7300 -extensions ca_ext -out "$work/$1.pem"
}
make_ca ca "$ISSUER"
quiet openssl x509 -in "$work/ca.pem" -outform DER -out "$out/ca-gost.der"

# issue NAME KEYKIND SERIALHEX START END SUBJECT [EXTFILE]; the issuing CA is $CA (default ca),
# the request's configuration $REQ (default req)
issue() {
    name=$1 kind=$2 serial=$3 start=$4 end=$5 subject=$6 ext=${7:-}
    ca=${CA:-ca}
    key=$work/$name.key
    [ -f "$key" ] || ${kind}_key "$key"
    case $kind in
    gost) reqmd=-$MD ;;
    gost512) reqmd=-md_gost12_512 ;;
    *) reqmd=-sha256 ;;
    esac
    quiet openssl req $GOST -config "$work/${REQ:-req}.cnf" -new -utf8 -key "$key" $reqmd -subj "$subject" \
        -out "$work/$name.csr"
    : > "$work/index.txt"
    echo "$serial" > "$work/serial"
    set -- -config "$work/ca.cnf" -batch -notext -preserveDN -utf8 -md $MD \
        -cert "$work/$ca.pem" -keyfile "$work/$ca.key" -startdate "$start" -enddate "$end" \
        -in "$work/$name.csr" -out "$work/$name.pem"
    if [ -n "$ext" ]; then set -- "$@" -extfile "$ext" -extensions pad; fi
    quiet openssl ca $GOST "$@"
    quiet openssl x509 -in "$work/$name.pem" -outform DER -out "$out/$name.der"
}

size_of() { wc -c < "$1" | tr -d ' '; }

# A certificate of exactly TARGET bytes: grow the comment until the DER length fits.
sized() {
    name=$1 target=$2
    pad=$((target - 900))
    tries=0
    while :; do
        printf '[pad]\nnsComment = "%s"\n' "$(head -c "$pad" /dev/zero | tr '\0' 'x')" > "$work/pad.cnf"
        issue "$name" gost 2A0B$target 20240115090000Z 20290115085959Z \
            "/C=RU/L=Москва/CN=Размерный тест $target/SNILS=11223344595" "$work/pad.cnf"
        size=$(size_of "$out/$name.der")
        [ "$size" -eq "$target" ] && break
        tries=$((tries + 1))
        [ "$tries" -lt 8 ] || { echo "cannot reach $target bytes for $name" >&2; exit 1; }
        pad=$((pad + target - size))
    done
}

# The certificate, then junk that even starts like another certificate.
card_file() {
    der=$out/$1.der
    size=$(size_of "$der")
    total=$(( (size + 255) / 256 * 256 + 256 ))
    { cat "$der"; printf '\060\202\377\377'; head -c $((total - size - 4)) /dev/urandom; } > "$out/$1-card.bin"
}

printf '[pad]\nbasicConstraints = CA:false\n' > "$work/leaf.cnf"

issue driver-gost gost 00C31F5A7E0142 130201210000Z 160201205959Z \
    '/C=RU/ST=Санкт-Петербург/L=Санкт-Петербург/street=Невский пр., д. 10, кв. 5/CN=Иванов Иван Иванович/SNILS=11223344595/INN=780123456789' \
    "$work/leaf.cnf"
issue workshop-ec ec 0A 20240115090000Z 20290115085959Z \
    '/C=RU/L=Казань/O=ООО «Мастерская»/CN=ООО «Мастерская тахографов»/INN=1655000123/OGRN=1021602800123' \
    "$work/leaf.cnf"
issue company-gost gost 7F 20240115090000Z 20290115085959Z \
    '/C=RU/ST=Новосибирская обл./L=Новосибирск/street=ул. Ленина, д. 3/O=ООО «Перевозчик»/CN=ООО «Перевозчик»/INN=5401000555/OGRN=1025400000555' \
    "$work/leaf.cnf"
issue twoinn-gost gost 01A30F 20240115090000Z 20290115085959Z \
    '/C=RU/L=Тверь/street=ул. Советская, д. 7/OU=Первый отдел/OU=Второй отдел/CN=Петров Пётр Петрович/INN=690100000011/INN=690100000022/SNILS=12345678964' \
    "$work/leaf.cnf"
issue markup-ec ec 05 20240115090000Z 20290115085959Z \
    '/C=RU/L=%%VALIDTO%%/street=ул. <Новая> & д. 2/CN=Сидоров <b>"Сид"<\/b> & Co' \
    "$work/leaf.cnf"

LONG_ISSUER='/C=RU/ST=Смоленская обл./L=Муниципальный район Верхнеднепровский, рп Старовеличково/street=пр-т Маршала Советского Союза Константина Рокоссовского, д. 117, корп. 3, к. 412/O=АО «Тестовый удостоверяющий центр»/CN=УЦ карт тахографа Северо-Западного фед. округа/INN=6701000002/OGRN=1026700000002'
make_ca ca-long "$LONG_ISSUER"
CA=ca-long issue company-long-gost gost 0B 20240115090000Z 20290115085959Z \
    '/C=RU/ST=Ставропольский край/L=Городской округ Новоалександровск-на-Тереке, пгт Ленино/street=ул. Генерала Ивана Христофоровича Баграмяна, д. 125, корп. 4, стр. 2, офис 1408А/O=ООО «Перевозчик»/CN=Шереметьева-Краснопольская Ангелина Викторовна/INN=2615000777/OGRN=1022600000777' \
    "$work/leaf.cnf"

MAX_L='Муниципальный округ Верхнеднепровский Новоалександровский муниципальный район сельское поселение Старовеличковское посёлок город'
MAX_STREET='пр-т Маршала Советского Союза Константина Константиновича Рокоссовского, д. 117, корп. 3, стр. 2, кв. 412, Верхнеднепровский Нов'
make_ca ca-max "/C=RU/L=$MAX_L/street=$MAX_STREET/CN=Удостоверяющий центр карт тахографа Северо-Западного федеральн/INN=6701000003/OGRN=1026700000003"
CA=ca-max issue driver-max-gost gost512 0C 20240115090000Z 20290115085959Z \
    "/C=RU/L=$MAX_L/street=$MAX_STREET/CN=Константинопольская-Новоалександровская Анастасия-Виктория Влади/SNILS=11223344595/INN=780123456789" \
    "$work/leaf.cnf"

make_ca ca-innle '/C=RU/L=Москва/street=ул. Тверская, д. 2/O=АО «Тестовый удостоверяющий центр»/CN=Тестовый УЦ карт тахографа 2021/INNLE=7702000004/OGRN=1027700000004'
CA=ca-innle REQ=req-numeric issue company-innle-gost gost 0D 20240115090000Z 20290115085959Z \
    '/C=RU/L=Омск/street=ул. Ленина, д. 5/O=ООО «Новый перевозчик»/CN=ООО «Новый перевозчик»/INNLE=5501000666/OGRN=1025500000666' \
    "$work/leaf.cnf"
CA=ca-innle REQ=req-numeric issue entrepreneur-gost gost 0E 20240115090000Z 20290115085959Z \
    '/C=RU/L=Омск/street=ул. Мира, д. 8/CN=Кузнецов Олег Андреевич/SNILS=11223344595/INN=550100000777/OGRNIP=304550100000777' \
    "$work/leaf.cnf"
CA=ca-innle REQ=req-numeric issue director-gost gost 0F 20240115090000Z 20290115085959Z \
    '/C=RU/L=Омск/O=ООО «Новый перевозчик»/CN=Смирнов Андрей Петрович/INNLE=5501000666/INN=550100000888/SNILS=12345678964/OGRN=1025500000666' \
    "$work/leaf.cnf"

sized size-1k 1024
sized size-2k 2048
sized size-4k 4096

card_file driver-gost
card_file workshop-ec
card_file size-4k

ls -l "$out"
