#!/bin/sh
# Builds the four certificate forms from form.html (UTF-8): the card-specific rows
# and the key heading go in, and each form is stored as UTF-16LE behind the
# byte-order mark FF FE, which the program requires of a form.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
dest=$here/..

SNILS='<tr><th>СНИЛС</th><td>%%SUBJECTSNILS%%</td></tr>'
INN_OGRN='<tr><th>ИНН</th><td>%%SUBJECTINN%%</td></tr>\
<tr><th>ОГРН</th><td>%%SUBJECTOGRN%%</td></tr>'

# form FILE ROWS HEADING
form() {
    {
        printf '\377\376'
        sed -e "s|@@ROWS@@|$2|" -e "s|@@KEYHEADING@@|$3|" "$here/form.html" | iconv -f UTF-8 -t UTF-16LE
    } > "$dest/$1.tmp"
    mv "$dest/$1.tmp" "$dest/$1"
}

form tacCertD.htm "$SNILS" 'Открытый ключ карты водителя'
form tacCertM.htm "$INN_OGRN" 'Открытый ключ карты мастерской'
form tacCertP.htm "$INN_OGRN" 'Открытый ключ карты предприятия'
# Control card: the control body's registration numbers, as for a workshop.
form tacCertK.htm "$INN_OGRN" 'Открытый ключ карты контролера'
