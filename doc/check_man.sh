#!/bin/sh
# Checks that a man page documents every command and option a program's --help lists, so the
# two cannot drift apart: each subcommand needs a ".SS <command path>" heading, each option
# must appear in the page's text.   usage: check_man.sh PAGE PROGRAM [ARGS...]
page=$1; shift
text=$(sed 's/\\-/-/g; s/\\f[BIRP]//g' "$page") || exit 2
missing=0
check() {  # check ARGS...: the help of `PROGRAM ARGS... --help` and of its subcommands
  help=$("$@" --help) || { echo "$* --help failed"; missing=1; return; }
  for opt in $(printf '%s\n' "$help" | sed -n '/^Options:/,/^$/s/^  \(-[^ ]*\).*/\1/p' | tr ',' ' '); do
    printf '%s\n' "$text" | grep -qE -- "(^|[^-[:alnum:]])$opt([^-[:alnum:]]|$)" ||
      { echo "$page: option $opt of '$*' is not documented"; missing=1; }
  done
  for sub in $(printf '%s\n' "$help" | sed -n '/^Subcommands:/,/^$/s/^  \([^ ]*\).*/\1/p'); do
    path="${*#"$cmd"} $sub"; path=${path# }
    printf '%s\n' "$text" | grep -q "^\.SS $path\( \|\$\)" ||
      { echo "$page: command '$path' has no .SS heading"; missing=1; }
    check "$@" "$sub"
  done
}
cmd=$1
check "$@"
exit $missing
