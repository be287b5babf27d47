#!/usr/bin/env bash
# Checks that the language reference and the manual page keep up with the program: every verb that --help
# lists has its section in docs/language.md and its entry in docs/chromaloom.1, and every message text in
# the commands and the interpreter is quoted in docs/language.md.
#   tests/docs/reference_check.sh PROGRAM
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
program="$1"
reference="$root/docs/language.md"
manual="$root/docs/chromaloom.1"
status=0

verbs="$("$program" --help | sed -n '/^Verbs:$/,/^$/p' | awk 'NF { print $1 }' | grep -v '^Verbs:$')"
[[ -n "$verbs" ]] || { echo "--help lists no verbs"; exit 1; }
for verb in $verbs; do
    if ! grep -Eq "^## (.* )?$verb( .*)?$" "$reference"; then
        echo "docs/language.md has no section for $verb"
        status=1
    fi
    if ! grep -Eq "^\.BI? $verb( |$)" "$manual"; then
        echo "docs/chromaloom.1 has no entry for $verb"
        status=1
    fi
done

# The fixed part of each message: what a command reports, the "no image" text it hands to the lookup, and
# what the runner prints; a format's text is taken up to its first conversion. "no variable name!" is left
# out: the runner never hands a command a missing word, so no script can bring it about.
messages="$(grep -ohE '(report\(|reportWithoutLine\(|printf\(|OrReport\(args\[[0-9]\], )"[^"]*"' \
    "$root"/commands/*.cpp "$root"/interpreter/runner.cpp "$root"/interpreter/script_context.cpp |
    sed -E 's/^[^"]*"//; s/"$//; s/%.*$//; s/\\n$//' | sort -u)"
while IFS= read -r message; do
    [[ ${#message} -ge 4 && "$message" != "no variable name!" ]] || continue # and bare formats such as "%s "
    if ! grep -qF -- "$message" "$reference"; then
        echo "docs/language.md does not quote the message: $message"
        status=1
    fi
done <<<"$messages"
# The reasons the format readers give, up to their first variable part, are quoted too.
reasons="$(grep -ohE '"(PNG|PNM|JPEG|WebP|TIFF|GIF|BMP|HEIF|AVIF): [^"]*"' "$root"/formats/*.cpp | sed -E 's/^"//; s/"$//' | sort -u)"
while IFS= read -r reason; do
    [[ ${#reason} -gt 6 ]] || continue # "PNG: " and the like, followed by a variable text
    if ! grep -qF -- "$reason" "$reference"; then
        echo "docs/language.md does not quote the reason: $reason"
        status=1
    fi
done <<<"$reasons"
exit "$status"
