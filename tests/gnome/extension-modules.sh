#!/usr/bin/env bash
# The built extensions load as their Shells load them: the ES module one (GNOME 45 and later, whose
# Shell is not run here) parses and exports what its entry point imports, like the legacy one
# through `imports`; and the switcher list's filter keeps the rows that hold every typed word.
set -euo pipefail
dir=$(realpath "$1") work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
esm=$dir/tarvolin@tarvolin.org legacy=$dir/tarvolin-legacy@tarvolin.org
for ext in "$esm" "$legacy"; do
  python3 -m json.tool "$ext/metadata.json" >/dev/null || fail "$ext/metadata.json is not JSON"
done

probe="typeof s.TarvolinService, s.INTERFACE_VERSION,
  JSON.stringify(s.matchingRows(['n1  one  one', 'term  build N1', 'x'], ' n1 ONE ').map((m) => m.index)),
  JSON.stringify(s.matchingRows(['a', 'b'], '').map((m) => m.index))"
printf '%s\n' "import * as s from 'file://$esm/service.js';" "print($probe);" >"$work/check.js"
module=$(gjs -m "$work/check.js" 2>&1) || fail "the ES module: $module"
script=$(gjs -c "imports.searchPath.unshift('$legacy'); const s = imports.service; print($probe);" 2>&1) ||
  fail "the legacy module: $script"
[[ $module =~ ^function\ [0-9]+\ \[0\]\ \[0,1\]$ ]] || fail "the ES module gives: $module"
[ "$module" = "$script" ] || fail "the two differ: $module / $script"

# Each entry point parses; loading it stops only at the Shell's own modules, absent here.
out=$(gjs -m "$esm/extension.js" 2>&1) && fail "the GNOME 45 entry point ran without the Shell"
grep -q "resource:///org/gnome/shell/" <<<"$out" && ! grep -q SyntaxError <<<"$out" || fail "GNOME 45 entry: $out"
out=$(gjs -c "imports.searchPath.unshift('$legacy'); imports.extension;" 2>&1) && fail "the legacy entry ran"
! grep -q SyntaxError <<<"$out" || fail "GNOME 43 entry: $out"
echo "both extensions load"
