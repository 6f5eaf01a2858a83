#!/usr/bin/env bash
# The manual page check must bite: it is run on copies of good pages, each spoilt in one
# way, and must refuse every one of them.
#   spoilt-pages.sh CHECK PAGES_DIR BIN_DIR README HEADER WORK_DIR
set -uo pipefail
check=$1 pages=$2 bin=$3 readme=$4 header=$5 work=$6
mkdir -p "$work"
bad=0

# spoil NAME SED_SCRIPT CHECK_ARGS...: the spoilt copy must differ and be refused.
spoil() {
    local name=$1 script=$2; shift 2
    sed "$script" "$pages/$name" > "$work/$name"
    if cmp -s "$pages/$name" "$work/$name"; then
        echo "spoiling $name with '$script' changed nothing" >&2; bad=1; return
    fi
    if bash "$check" "$@" > "$work/$name.out" 2>&1; then
        echo "the check accepted $name spoilt with '$script'" >&2; bad=1
    else
        sed 's/^/  refused: /' "$work/$name.out"
    fi
}

# An option that --help names but the page lost.
spoil u3v-grab.1 '/^\.BI \\-\\-timeout/d' options "$work/u3v-grab.1" "$bin/u3v-grab"
# An option mentioned only outside OPTIONS does not count.
spoil u3v-xml.1 '/^\.SH OPTIONS/,/^\.SH /{/^\.B \\-\\-raw$/d}' options "$work/u3v-xml.1" "$bin/u3v-xml"
# Exit statuses that drifted from the README and the program.
spoil brannock.1 's/^\.B 4$/.B 5/' statuses "$work/brannock.1" "$readme" "$header"
# A status the program has but the page lost.
spoil brannock.1 '/^\.B 3$/,/^\.TP$/d' statuses "$work/brannock.1" "$readme" "$header"
# A page that groff warns about.
spoil u3v-list.1 's/^\.SH EXAMPLES$/&\n.XY/' options "$work/u3v-list.1" "$bin/u3v-list"
# A missing section.
spoil u3v-reg.1 '/^\.SH EXIT STATUS$/d' options "$work/u3v-reg.1" "$bin/u3v-reg"
exit $bad
