#!/bin/sh
# manpage.sh VELMOR OUT: writes velmor(1) to OUT from the program's own help, so that the manual
# says what the program does: the overview from `velmor --help`, then each subcommand's help
# (and, for a subcommand that has subcommands of its own, theirs).
set -eu
velmor=$1
out=$2
version=$("$velmor" version 2>/dev/null | awk '/^FileVersion/ {print $2}' || true)

# line: one line of output as it stands (sh's echo would take the backslashes of roff's escapes).
line() { printf '%s\n' "$*"; }

# roff: the help text as preformatted lines, with what roff would take as requests escaped.
roff() {
  sed -e 's/\\/\\e/g' -e "s/^\\([.']\\)/\\\\\\&\\1/" -e 's/^Usage: [^ ]*velmor/Usage: velmor/'
}
subcommands() {
  "$velmor" "$@" --help | awk '/^Subcommands:/ {on=1; next} on && /^  [a-z]/ {print $1}'
}

{
  line ".TH VELMOR 1 \"\" \"velmor ${version:-}\" \"User Commands\""
  line ".SH NAME"
  line "velmor \\- signing and encryption for internet-bank pages"
  line ".SH SYNOPSIS"
  line ".B velmor"
  line ".I subcommand"
  line "[\\fIoptions\\fR]"
  line ".SH DESCRIPTION"
  line "velmor drives the signing and encryption control as a page's script engine does"
  line "(\\fBvelmor call\\fR), manages the user's certificates and keys (\\fBvelmor certs\\fR),"
  line "registers the control's module and installs the browsers' host manifests."
  line ".PP"
  line ".nf"
  "$velmor" --help | roff
  line ".fi"
  line ".SH SUBCOMMANDS"
  for sub in $(subcommands); do
    echo ".SS $sub"
    echo ".nf"
    "$velmor" "$sub" --help | roff
    echo ".fi"
    for inner in $(subcommands "$sub"); do
      echo ".SS $sub $inner"
      echo ".nf"
      "$velmor" "$sub" "$inner" --help | roff
      echo ".fi"
    done
  done
  line ".SH FILES"
  line ".TP"
  line ".I \$XDG_DATA_HOME/velmor/"
  line "the user's certificate stores, key containers and registry (by default ~/.local/share/velmor)"
  line ".TP"
  line ".I \$XDG_STATE_HOME/velmor/host.log"
  line "the browser host's log (by default ~/.local/state/velmor/host.log)"
  line ".SH SEE ALSO"
  line ".BR velmor-host (1)"
} > "$out"
