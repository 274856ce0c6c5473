#!/usr/bin/env bash
# The Debian package as a user gets it: made by CPack, checked by lintian, unpacked into a
# fresh root, and its programs, manual pages, completions and unit used from there.
set -euo pipefail
# All of it runs on a private desktop of its own, which tarvolin-headless ends afterwards.
[ -n "${TARVOLIN_ON_DESKTOP:-}" ] || TARVOLIN_ON_DESKTOP=1 exec "$1/tools/headless/tarvolin-headless" -- "$0" "$@"
build=$(realpath "$1") work=$(mktemp -d /tmp/tarvolin-package.XXXXXX) pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
wait_for() { local end=$((SECONDS + $1)); shift; until "$@" >/dev/null 2>&1; do ((SECONDS < end)) || return 1; sleep 0.01; done; }
until_true() { wait_for 30 "$@" || fail "timed out: $*"; }
active() { xprop -root _NET_ACTIVE_WINDOW | grep -qi "$(printf '0x%x' "$1")\$"; }
managed() { xprop -root _NET_CLIENT_LIST | grep -qi "$(printf '0x%x' "$1")\b"; }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" || { cat "$work/cpack.log"; fail cpack; }
deb=$(echo "$work"/out/tarvolin_*.deb)
dpkg-deb -f "$deb" Depends | grep -E 'libsystemd0.*libxcb1|libxcb1.*libsystemd0' || fail "Depends: $(dpkg-deb -f "$deb" Depends)"
lintian --fail-on error "$deb" || fail "lintian reports an error"
root=$work/root bin=$work/root/usr/bin version=$(dpkg-deb -f "$deb" Version) && dpkg -x "$deb" "$root"

# Program, arguments | exit status | text in the output. The agent must refuse before it starts.
while IFS='|' read -r command status text; do
  got=0; out=$(env -u DISPLAY "$bin"/$command 2>&1) || got=$?
  [ "$got" = "$status" ] && grep -qF -- "$text" <<<"$out" || fail "$command: exit $got: $out"
done <<TABLE
tarvolin-agent --version|0|tarvolin-agent $version
tarvolin-agent --help|0|Usage: tarvolin-agent [--help | --version]
tarvolin-agent --verbose|2|unexpected argument '--verbose'
tarvolin-agent --help more|2|unexpected argument 'more'
tarvolinctl --version|0|tarvolinctl $version
tarvolinctl --help|0|Exit status:
TABLE

for page in tarvolin-agent tarvolinctl; do
  man=$(MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/$page.1.gz" 2>"$work/man.err")
  [ ! -s "$work/man.err" ] || fail "$page(1): $(cat "$work/man.err")"
  for want in SYNOPSIS ENVIRONMENT FILES STATUS EXAMPLES SWAYSOCK XDG_RUNTIME_DIR XDG_CONFIG_HOME DISPLAY org.tarvolin.Agent; do
    grep -q "$want" <<<"$man" || fail "$page(1) lacks $want"
  done
done

# Every subcommand that --help lists is completed by bash, zsh and fish.
share=$root/usr/share
source "$share/bash-completion/completions/tarvolinctl"
COMP_WORDS=(tarvolinctl "") COMP_CWORD=1 && _tarvolinctl
subcommands=$("$bin/tarvolinctl" --help | sed -n '/^Subcommands:/,/^$/s/^  \([a-z]\+\) .*/\1/p')
[[ $subcommands == *raise*windows* ]] || fail "no subcommands in tarvolinctl --help"
for sub in $subcommands; do
  [[ " ${COMPREPLY[*]} " == *" $sub "* ]] || fail "bash does not complete $sub"
  grep -q "'$sub:" "$share/zsh/vendor-completions/_tarvolinctl" || fail "zsh does not complete $sub"
  grep -q -- "-a $sub " "$share/fish/vendor_completions.d/tarvolinctl.fish" || fail "fish does not complete $sub"
done

# The unit runs the agent where it was installed: /usr for the package, the prefix otherwise.
grep -qx "ExecStart=/usr/bin/tarvolin-agent" "$root/usr/lib/systemd/user/tarvolin-agent.service" || fail "package unit"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
grep -qx "ExecStart=$work/prefix/bin/tarvolin-agent" "$work/prefix/lib/systemd/user/tarvolin-agent.service" || fail "unit"
# Both GNOME Shell extensions, where the Shell looks for them, each naming its own UUID.
for ext in tarvolin@tarvolin.org tarvolin-legacy@tarvolin.org; do
  for dir in "$root/usr" "$work/prefix"; do
    grep -q "\"uuid\": \"$ext\"" "$dir/share/gnome-shell/extensions/$ext/metadata.json" &&
      [ -f "$dir/share/gnome-shell/extensions/$ext/service.js" ] || fail "no GNOME extension $ext under $dir"
  done
done

# Two sample windows $w1 and $w2 on the private desktop this part runs on.
sample_windows() {
  mkfifo "$work/hold" && exec {hold}<>"$work/hold"
  "$build/tools/sample-windows/tarvolin-sample-windows" --window --title One --geometry 200x200+10+10 \
    --window --title Two --geometry 200x200+300+10 <&"$hold" >"$work/windows" &
  pids+=($!)
  until_true grep -q ready "$work/windows" && read -r _ w1 w2 <"$work/windows"
  until_true managed "$w1" && until_true managed "$w2"
}
export XDG_RUNTIME_DIR=$work/run XDG_CONFIG_HOME=$work/config && mkdir -m 700 "$XDG_RUNTIME_DIR"
sample_windows
"$bin/tarvolin-agent" 2>"$work/agent.log" & agent=$! && pids+=("$agent")
"$bin/tarvolinctl" watch --count 1 >"$work/notes" 2>"$work/watch.err" & watcher=$! && pids+=("$watcher")
until_true grep -q watching "$work/watch.err"
active "$w1" && target=$w2 || target=$w1
"$bin/tarvolinctl" raise "$target" --wait 10000 2>/dev/null
until_true active "$target"
wait "$watcher" && grep -q FinderBack "$work/notes" || fail "no FinderBack after the raise"
"$bin/tarvolinctl" kill && wait "$agent" || fail "agent: exit $?, $(cat "$work/agent.log")"
echo "package test: $(basename "$deb") installed, used and raised $target"
