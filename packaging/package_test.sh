#!/usr/bin/env bash
# Builds the Debian package, reads its metadata and contents, unpacks it into a scratch root and
# runs that copy: --version, help, its manual page, its unit, its menu entry, its completion,
# and `open`, which starts the application and hands the page's address to the browser.
set -euo pipefail
build=$(cd "$1" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }
has() { grep -qF -- "$2" <<<"$1" || fail "$3: no '$2'"; }

work=$(mktemp -d)
serve_pid=""
cleanup() {
  [ -n "$serve_pid" ] && kill -TERM "$serve_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

cmake --build "$build" --target tolverdine tolverdine_docs_files tolverdine_changelog >/dev/null
(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in the cache"
deb="$work/out/tolverdine_${version}_amd64.deb"
[ -f "$deb" ] || fail "no $deb: $(ls "$work/out")"

info=$(dpkg-deb --info "$deb")
for w in "Package: tolverdine" "Version: $version" "Architecture: amd64" "Maintainer: "; do has "$info" "$w" info; done
depends=$(dpkg-deb --field "$deb" Depends)
for lib in libc6 libsqlite3-0 libxxhash0 libutf8proc2 libssl3 libxml2 libblkid1 libglib2.0-0 libavformat59 \
           libavcodec59 libswscale6 libcairo2 libpango-1.0-0 libgdk-pixbuf-2.0-0 libcurl4 libzip4 "fonts-nanum | fonts-noto-cjk"; do
  has "$depends" "$lib" Depends
done
# Optional helpers are not pulled in with the package: udisks2 alone brings some thirty more.
recommends=$(dpkg-deb --field "$deb" Recommends)
suggests=$(dpkg-deb --field "$deb" Suggests)
[ "$recommends" = "xdg-utils, lsof" ] || fail "Recommends: $recommends"
[ "$suggests" = "ffmpeg, udisks2" ] || fail "Suggests: $suggests"
[ "$(grep -o 'libsqlite3-0' <<<"$depends" | wc -l)" -eq 1 ] || fail "SQLite named twice: $depends"
# Debian's own checks pass without an error or a warning (they once found no copyright file,
# no changelog and a long description line).
if command -v lintian >/dev/null; then
  lint=$(lintian --tag-display-limit 0 "$deb" 2>&1 || true)
  if grep -E '^(E|W): ' <<<"$lint"; then
    fail "lintian: $lint"
  fi
fi
# Nothing runs as root at install time.
control=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | sed 's|^\./||' | grep -v '^$' | sort | tr '\n' ' ')
[ "$control" = "control md5sums " ] || fail "maintainer scripts: $control"
contents=$(dpkg-deb --contents "$deb")
for f in usr/bin/tolverdine usr/lib/systemd/user/tolverdine.service usr/share/applications/tolverdine.desktop \
         usr/share/icons/hicolor/scalable/apps/tolverdine.svg usr/share/man/man1/tolverdine.1.gz \
         usr/share/bash-completion/completions/tolverdine usr/share/tolverdine/EULA.ko.md \
         usr/share/tolverdine/EULA.en.md usr/share/doc/tolverdine/copyright \
         usr/share/doc/tolverdine/changelog.gz; do
  has "$contents" "./$f" contents
done
unexpected=$(grep -vE '^d|\./usr/(bin|lib/systemd/user|share/(applications|icons|man|bash-completion|tolverdine|doc))' <<<"$contents" || true)
[ -z "$unexpected" ] || fail "unexpected files: $unexpected"

root="$work/root"
dpkg -x "$deb" "$root"
bin="$root/usr/bin/tolverdine"
[ "$("$bin" --version)" = "tolverdine $version" ] || fail "--version: $("$bin" --version)"
"$bin" nosuchcommand >/dev/null 2>&1 && fail "an unknown command succeeds"

# The manual page: formats without warnings, names every command, option and exit code.
man_err=$(MANWIDTH=120 man --warnings -l "$root/usr/share/man/man1/tolverdine.1.gz" 2>&1 >"$work/man.txt") || fail "man -l"
[ -z "$man_err" ] || fail "man warnings: $man_err"
man_text=$(cat "$work/man.txt")
commands=$("$bin" help | sed -n 's/^  \([a-z]\+\( [a-z]\+\)\?\)  .*/\1/p')
[ "$(wc -l <<<"$commands")" -ge 18 ] || fail "command list: $commands"
while read -r c; do
  has "$man_text" "$c" "man page (command)"
  while read -r opt; do
    [ -n "$opt" ] && has "$man_text" "$opt" "man page ($c)"
  done < <("$bin" help $c | sed -n 's/^  \(--[a-z-]\+\).*/\1/p')
  while read -r code; do
    [ -n "$code" ] && has "$man_text" "$code" "man page ($c exit code)"
  done < <("$bin" help $c | sed -n '/^종료 코드:/,$ s/^  \([0-9]\+\)  .*/\1/p')
done <<<"$commands"
has "$man_text" "--version" "man page"

# The user unit: systemd's own check, with ExecStart pointing at the unpacked program.
if command -v systemd-analyze >/dev/null; then
  unit="$work/unit/tolverdine.service"
  mkdir -p "$work/unit"
  sed "s|^ExecStart=/usr/bin/tolverdine|ExecStart=$bin|" "$root/usr/lib/systemd/user/tolverdine.service" >"$unit"
  grep -q "^ExecStart=$bin serve$" "$unit" || fail "unit ExecStart"
  verify=$(MANPATH="$root/usr/share/man" systemd-analyze verify "$unit" 2>&1) || fail "systemd-analyze verify: $verify"
  [ -z "$verify" ] || fail "systemd-analyze verify: $verify"
fi
for w in "ExecStart=/usr/bin/tolverdine serve" "Restart=on-failure" "KillSignal=SIGTERM" "WantedBy=default.target"; do
  has "$(cat "$root/usr/lib/systemd/user/tolverdine.service")" "$w" unit
done

# The menu entry: valid, opens the page, has its icon.
desktop-file-validate "$root/usr/share/applications/tolverdine.desktop" || fail "desktop-file-validate"
for w in "Exec=tolverdine open" "Icon=tolverdine"; do
  has "$(cat "$root/usr/share/applications/tolverdine.desktop")" "$w" "desktop entry"
done
command -v xmllint >/dev/null && { xmllint --noout "$root/usr/share/icons/hicolor/scalable/apps/tolverdine.svg" || fail icon; }

# Completion: commands, options, and the words of a choice.
complete_words() {
  bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _tolverdine; echo "${COMPREPLY[*]}"' \
    _ "$root/usr/share/bash-completion/completions/tolverdine" "$@"
}
has "$(complete_words tolverdine ingest --v)" "--verify" completion
for w in "ing:ingest" "ingest --verify pa:paranoid" "help mi:mirror" "profiles s:sign"; do
  # shellcheck disable=SC2086
  [ "$(complete_words tolverdine ${w%%:*})" = "${w#*:}" ] || fail "completion: ${w%%:*} -> $(complete_words tolverdine ${w%%:*})"
done

# `open` from the menu: nothing runs, so it starts the unpacked program's `serve` (no user
# manager here: systemctl is kept off PATH), waits for its page and hands the address to the
# browser (a stand-in xdg-open that records it).
home="$work/home"
mkdir -p "$home" "$work/bin"
printf '#!/bin/sh\necho "$1" >> "%s/opened"\n' "$work" >"$work/bin/xdg-open"
chmod +x "$work/bin/xdg-open"
run() { env -i HOME="$home" PATH="$work/bin:/usr/bin:/bin" LANG=C.UTF-8 "$@"; }
run env PATH="$work/bin:/nonexistent" "$bin" open >"$work/open.out" 2>"$work/open.err" || {
  cat "$work/open.err" >&2; fail "open"
}
url=$(cat "$work/open.out")
[[ "$url" == http://127.0.0.1:*/\?token=* ]] || fail "open printed: $url"
[ "$(cat "$work/opened")" = "$url" ] || fail "xdg-open got: $(cat "$work/opened")"
for p in /proc/[0-9]*; do
  [ "$(readlink "$p/exe" 2>/dev/null)" = "$bin" ] && serve_pid=${p#/proc/}
done
[ -n "$serve_pid" ] || fail "no serve of the unpacked program runs"
# The page answers, and its terms are the package's copy.
token=${url##*token=}
port=${url#http://127.0.0.1:}; port=${port%%/*}
state=$(curl -sf -H "X-Tolverdine-Token: $token" "http://127.0.0.1:$port/api/state") || fail "page does not answer"
python3 -c '
import json, sys
s = json.load(sys.stdin)
want = open(sys.argv[1], encoding="utf-8").read()
sys.exit(0 if s["onboarding"]["terms"] == want else "terms differ from the packaged file")
' "$root/usr/share/tolverdine/EULA.ko.md" <<<"$state" || fail "terms"
# A second open finds the running instance and opens the same page.
run env PATH="$work/bin:/nonexistent" "$bin" open >"$work/open2.out" 2>&1 || fail "second open"
[ "$(cat "$work/open2.out")" = "$url" ] || fail "second open: $(cat "$work/open2.out")"
# A desktop where no program opens web pages: the address is printed and the reason said.
mkdir -p "$work/nobrowser"
printf '#!/bin/sh\necho "xdg-open: no method available for opening" >&2\nexit 3\n' >"$work/nobrowser/xdg-open"
chmod +x "$work/nobrowser/xdg-open"
set +e
run env PATH="$work/nobrowser:/nonexistent" "$bin" open >"$work/open3.out" 2>"$work/open3.err"; rc=$?
set -e
[ $rc -eq 1 ] && [ "$(cat "$work/open3.out")" = "$url" ] || fail "open without a browser: $rc"
has "$(cat "$work/open3.err")" "브라우저를 열지 못했습니다: 웹 페이지를 열 프로그램이 설정되지 않음 (xdg-open: no method available for opening)" open
running() { [ -e "/proc/$1" ] && ! grep -q '^[0-9]* ([^)]*) Z' "/proc/$1/stat" 2>/dev/null; }
kill -TERM "$serve_pid"
for _ in $(seq 100); do running "$serve_pid" || break; sleep 0.1; done
running "$serve_pid" && fail "serve did not stop on SIGTERM"
serve_pid=""
[ ! -e "$home/Library/Application Support/TOLVERDINE/web.url" ] || fail "page address left behind"

echo "package ok: $(basename "$deb"), $(du -k "$deb" | cut -f1) KiB, Depends: $depends"
