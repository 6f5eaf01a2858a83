#!/usr/bin/env bash
# Checks a manual page against the program it documents.
#   check-manpage.sh options PAGE PROGRAM
#     every option that PROGRAM --help names is described in the page's OPTIONS section
#   check-manpage.sh statuses PAGE README HEADER
#     the page's EXIT STATUS section gives exactly the statuses that the README lists for
#     brannock, among them every one that HEADER defines (and 0)
# Either way the page must have the usual sections and render without a groff warning.
set -euo pipefail

fail() { echo "$page: $*" >&2; status=1; }

# The text of one section, roff escapes for '-' undone.
section() {
    awk -v want="$1" '
        /^\.SH / { name = substr($0, 5); gsub(/"/, "", name); inside = (name == want); next }
        inside' "$page" | sed 's/\\-/-/g'
}

common_checks() {
    local s
    for s in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" EXAMPLES "SEE ALSO" "$@"; do
        grep -q "^\.SH \"\?$s\"\?\$" "$page" || fail "no section $s"
    done
    local warnings
    warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1 || true)
    [ -z "$warnings" ] || fail "groff: $warnings"
}

# Status numbers given as ".TP" then ".B N" in the EXIT STATUS section.
page_statuses() {
    section "EXIT STATUS" | awk 'prev == ".TP" && $1 == ".B" && $2 ~ /^[0-9]+$/ { print $2 } { prev = $1 }' |
        sort -n | tr '\n' ' '
}

mode=$1 page=$2
status=0
case "$mode" in
options)
    program=$3
    common_checks
    help=$("$program" --help) || { echo "$program --help failed" >&2; exit 1; }
    options=$(grep -o -- '--[a-z][a-z0-9-]*' <<<"$help" | sort -u)
    [ -n "$options" ] || fail "$program --help names no option"
    described=$(section OPTIONS)
    for o in $options; do
        grep -qE -- "(^|[^a-z-])$o([^a-z0-9-]|\$)" <<<"$described" || fail "option $o of $program --help is not in OPTIONS"
    done
    [ -n "$(page_statuses)" ] || fail "EXIT STATUS lists no status"
    ;;
statuses)
    readme=$3 header=$4
    common_checks FILES
    # From "brannock's exit status" to the next blank line: either a table whose rows
    # start "| N |", or a sentence "...: 0 after ...; 1 when ...; 2 when ...".
    block=$(awk '/exit status/ && /brannock/ { on = 1 } on && /^$/ { exit } on' "$readme")
    from_readme=$( { grep -oE '^\| *[0-9]+ *\|' <<<"$block" || grep -oE '(: |; )[0-9]+ (after|when)' <<<"$block"; } |
        grep -oE '[0-9]+' | sort -n | tr '\n' ' ')
    from_header=$( (echo 0; grep -oE 'EXIT_[A-Z_]+ *= *[0-9]+' "$header" | grep -oE '[0-9]+$') |
        sort -nu | tr '\n' ' ')
    from_page=$(page_statuses)
    [ -n "$from_readme" ] || fail "no exit statuses found in $readme"
    [ "$from_page" = "$from_readme" ] || fail "exit statuses '$from_page', the README gives '$from_readme'"
    # The program may end with more (a signal's 128+n), never with fewer.
    for n in $from_header; do
        [[ " $from_page " == *" $n "* ]] || fail "exit status $n of the program is not on the page"
    done
    ;;
*)
    echo "usage: $0 options PAGE PROGRAM | statuses PAGE README HEADER" >&2
    exit 2
    ;;
esac
exit $status
