#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The manual page and the completions against what the tool itself says in --help: every command
# and every option is in both; the bash completion completes what it should; the page renders
# without a warning.
#   docs_test.sh IMABOX DOCS_DIR
set -uo pipefail
tool=$1
docs=$2
page=$docs/imabox.1
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# Every placeholder of the template was filled in (the footer names the version).
left=$(grep -v '^\.\\"' "$page" | grep -o '@[A-Z]*@' | sort -u | tr '\n' ' ')
[ -z "$left" ] || fail "placeholders left in the manual page: $left"
"$tool" --version | head -1 | grep -qF "$(sed -n 's/^\.TH [^"]*"[^"]*" "\([^"]*\)".*/\1/p' "$page")" ||
    fail "the manual page's footer does not name the tool's version"

# The commands and options --help lists.
commands=$("$tool" --help | sed -n '/^Subcommands:/,$p' | awk 'NR > 1 && NF { print $1 }')
[ -n "$commands" ] || fail "no commands in imabox --help"
options_of() {  # option names at the start of the lines of `imabox [CMD] --help`
    "$tool" "$@" --help | grep -oE '^  -[^ ]+' | tr ',' '\n' | sed 's/^ *//' | grep -E '^-'
}

# shellcheck source=/dev/null
source "$docs/completion/imabox"
complete_line() {  # the completions bash offers for the last word of "$@"
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _imabox
    printf '%s\n' "${COMPREPLY[@]}" | sort
}
expect_completion() {  # expect_completion "expected words" word...
    local expected=$1
    shift
    local got
    got=$(complete_line "$@" | tr '\n' ' ' | sed 's/ $//')
    [ "$got" = "$expected" ] || fail "completing '$*': got '$got', expected '$expected'"
}

in_page() { grep -qF -- "\\fB$(sed 's/-/\\-/g' <<<"$1")\\fR" "$page"; }

for option in $(options_of); do
    in_page "$option" || fail "imabox $option is not in the manual page"
    complete_line imabox "$option" | grep -qxF -- "$option" || fail "bash does not complete $option"
done
for command in $commands; do
    grep -qxF ".SS $command" "$page" || fail "command $command has no section in the manual page"
    complete_line imabox "$command" | grep -qxF "$command" || fail "bash does not complete $command"
    for option in $(options_of "$command"); do
        in_page "$option" || fail "imabox $command $option is not in the manual page"
        complete_line imabox "$command" "$option" | grep -qxF -- "$option" ||
            fail "bash does not complete imabox $command $option"
    done
done
grep -q '^\.SS _docs' "$page" && fail "the hidden _docs command is in the manual page"

# What the bash completion offers in a folder with a subfolder and a file.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/sub"
touch "$work/subtitle.wav"
cd "$work" || exit 1
expect_completion "encode" imabox enc
expect_completion "" imabox _  # the hidden _docs command
expect_completion "--quality --quiet" imabox encode --qu
expect_completion "--quiet" imabox decode --qu
expect_completion "sub" imabox encode -d su            # a folder only
expect_completion "sub subtitle.wav" imabox encode su  # inputs: files and folders
expect_completion "sub subtitle.wav" imabox encode --output su
expect_completion "" imabox encode --quality ""        # a number: nothing to offer
expect_completion "sub subtitle.wav" imabox encode --quiet su  # a flag takes no value
cd - >/dev/null || exit 1

# The page renders without warnings; the zsh completion parses.
if command -v groff >/dev/null; then
    warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
    [ -z "$warnings" ] || fail "groff warns about the manual page: $warnings"
fi
if command -v zsh >/dev/null; then
    zsh -n "$docs/completion/_imabox" || fail "the zsh completion does not parse"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures failure(s)"
    exit 1
fi
echo "manual page and completions match imabox --help"
