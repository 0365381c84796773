#!/usr/bin/env bash
# The installed tree: `cmake --install` into a scratch prefix gives programs that run from there,
# the manual pages (the tool's made from the option table) and the completions, the desktop entry
# and icon, and a window that finds its data files. Then the Debian package is built and, where
# lintian is installed, must pass it without an error or a warning; where root is available, it
# is installed with apt and its programs run.
set -euo pipefail
build="$1"
source_dir="$(cd "$(dirname "$0")/../.." && pwd)"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
prefix="$scratch/prefix"

cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/tintabrel-cli bin/Tintabrel bin/Swatchwright share/tintabrel/ColorList.dat share/tintabrel/moto.bmp \
         share/man/man1/tintabrel-cli.1.gz share/man/man1/Tintabrel.1.gz share/man/man1/Swatchwright.1.gz \
         share/doc/tintabrel/copyright share/doc/tintabrel/changelog.gz share/bash-completion/completions/tintabrel-cli \
         share/zsh/vendor-completions/_tintabrel-cli share/fish/vendor_completions.d/tintabrel-cli.fish \
         share/applications/tintabrel.desktop share/icons/hicolor/scalable/apps/tintabrel.svg; do
  [ -s "$prefix/$f" ] || { echo "missing from the installed tree: $f"; exit 1; }
done

cli="$prefix/bin/tintabrel-cli"
"$cli" --version | grep -q '^tintabrel-cli '
man_page="$scratch/tintabrel-cli.1"
gzip -dc "$prefix/share/man/man1/tintabrel-cli.1.gz" >"$man_page"
# Every long option of the tool is in the manual page and in each completion.
for option in $("$cli" recolour --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
  case "$option" in --help) continue ;; esac
  grep -q -- "${option//-/\\\\-}" "$man_page" || { echo "man page lacks $option"; exit 1; }
  grep -q -- "$option" "$prefix/share/bash-completion/completions/tintabrel-cli" || { echo "bash lacks $option"; exit 1; }
  grep -q -- "$option" "$prefix/share/zsh/vendor-completions/_tintabrel-cli" || { echo "zsh lacks $option"; exit 1; }
  grep -q -- "-l ${option#--}" "$prefix/share/fish/vendor_completions.d/tintabrel-cli.fish" || { echo "fish lacks $option"; exit 1; }
done
bash -c "source '$prefix/share/bash-completion/completions/tintabrel-cli' && complete -p tintabrel-cli" >/dev/null
if command -v man >/dev/null; then
  MANWIDTH=80 man -l "$prefix/share/man/man1/tintabrel-cli.1.gz" 2>&1 | grep -q recolour
  # The pages read without a complaint from man.
  for page in tintabrel-cli Tintabrel Swatchwright; do
    complaints=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$prefix/share/man/man1/$page.1.gz" 2>&1 >/dev/null)
    [ -z "$complaints" ] || { echo "man warns on $page.1: $complaints"; exit 1; }
  done
fi

# The installed tool works: convert the installed moto.bmp and recolour the result.
"$cli" convert "$prefix/share/tintabrel/moto.bmp" "$scratch/moto.png"
"$cli" recolour --from-hue 0 --target 200 --list "$prefix/share/tintabrel/ColorList.dat" -o "$scratch/out.png" \
  "$scratch/moto.png"
"$cli" info "$scratch/out.png" >/dev/null

# The installed window finds its data: the list is copied to the user's own folder, where the
# list editor can save it.
home="$scratch/home"
mkdir -p "$home"
status=0
HOME="$home" XDG_DATA_HOME= QT_QPA_PLATFORM=offscreen timeout 3 "$prefix/bin/Tintabrel" >/dev/null 2>&1 || status=$?
[ "$status" -eq 124 ] || { echo "the installed window ended by itself (status $status)"; exit 1; }
cmp -s "$home/.local/share/tintabrel/ColorList.dat" "$prefix/share/tintabrel/ColorList.dat" ||
  { echo "the installed window did not find its list"; exit 1; }

# The Debian package: lintian finds no error and no warning in it (its notes are information).
(cd "$build" && cpack -G DEB -B "$scratch/deb" >/dev/null)
deb="$(ls "$scratch"/deb/tintabrel_*.deb)"
if command -v lintian >/dev/null; then
  status=0
  findings=$(lintian --fail-on error,warning "$deb" 2>&1) || status=$?
  if [ "$status" -ne 0 ]; then
    echo "lintian finds errors or warnings in the package:"
    grep -E '^[EW]: ' <<<"$findings" || echo "$findings"
    exit 1
  fi
  echo "the Debian package: lintian finds no error or warning"
else
  echo "the Debian package's lintian check: skipped (lintian is not installed)"
fi

# Installed, where this may install one.
if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
  echo "the Debian package: not installed (needs root and apt)"
  exit 0
fi
if dpkg-query -W -f='${Status}' tintabrel 2>/dev/null | grep -q "install ok installed"; then
  echo "the Debian package: not installed (a tintabrel package is installed on this machine already)"
  exit 0
fi
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$deb" >/dev/null
trap 'dpkg -r tintabrel >/dev/null 2>&1 || true; rm -rf "$scratch"' EXIT
/usr/bin/tintabrel-cli --version | grep -q '^tintabrel-cli '
/usr/bin/tintabrel-cli convert /usr/share/tintabrel/moto.bmp "$scratch/from-package.png"
for page in tintabrel-cli Tintabrel Swatchwright; do [ -s "/usr/share/man/man1/$page.1.gz" ]; done
status=0
HOME="$home" QT_QPA_PLATFORM=offscreen timeout 3 /usr/bin/Tintabrel >/dev/null 2>&1 || status=$?
[ "$status" -eq 124 ] || { echo "the packaged window ended by itself (status $status)"; exit 1; }
echo "the Debian package: built, installed and run ($(basename "$deb"))"
