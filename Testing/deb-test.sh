#!/usr/bin/env bash
# deb-test.sh <dir>: installs the Debian packages `make deb` left in <dir> (kestro and
# libkestrocore-dev) with apt-get, uses what they installed as a user would, purges them and
# checks that nothing of theirs is left: every path they installed that was not there before,
# and every package apt-get brought in with them. As root, on a machine where neither package is
# installed yet (it refuses otherwise, rather than replace a Kestro someone installed).
set -euo pipefail
export LC_ALL=C

dir=$1
packages=(kestro libkestrocore-dev)
architecture=$(dpkg --print-architecture)
work=$(mktemp -d)
installed=0

say() { echo "deb-test: $*"; }
fail() {
  echo "deb-test: FAILED: $*" >&2
  exit 1
}

installed_packages() {
  dpkg-query -W -f='${db:Status-Abbrev} ${Package}:${Architecture}\n' | awk '$1 ~ /^.i/ { print $2 }' |
    sort
}

# Whatever happens, the machine is left as it was: our packages purged, and with them the
# packages apt-get installed for them.
restore() {
  local status=$?
  if ((installed)); then
    say "restoring: purging ${packages[*]}"
    apt-get purge -y "${packages[@]}" >/dev/null 2>&1 || true
    local extra
    extra=$(comm -13 "${work}/packages-before" <(installed_packages))
    if [[ -n "${extra}" ]]; then
      say "restoring: purging what came with them: ${extra//$'\n'/ }"
      # shellcheck disable=SC2086
      apt-get purge -y ${extra} >/dev/null 2>&1 || true
    fi
  fi
  rm -rf "${work}"
  exit "${status}"
}
trap restore EXIT

[[ "$(id -u)" -eq 0 ]] || fail "installing packages needs root"
debs=()
for package in "${packages[@]}"; do
  shopt -s nullglob
  found=("${dir}/${package}"_*_"${architecture}".deb)
  shopt -u nullglob
  ((${#found[@]} == 1)) || fail "expected one ${dir}/${package}_*_${architecture}.deb, found ${#found[@]}"
  debs+=("$(realpath "${found[0]}")")
  if dpkg-query -W -f='${db:Status-Abbrev}' "${package}" 2>/dev/null | grep -q '^.i'; then
    fail "${package} is installed on this machine already; this test would replace it and then" \
      "remove it. Remove it first (apt-get purge ${package}) or run the test elsewhere"
  fi
done
version=$(dpkg-deb -f "${debs[0]}" Version)

# What is there before: the packages, and which of the paths the packages hold exist already
# (the shared folders, /usr/bin say), so that after the purge exactly the others must be gone.
installed_packages >"${work}/packages-before"
for deb in "${debs[@]}"; do
  dpkg-deb --fsys-tarfile "${deb}" | tar -t | sed -e 's|^\./|/|' -e 's|/$||' | grep -v '^\.\?$'
done | sort -u >"${work}/contents"
while read -r path; do
  if [[ -e "${path}" || -L "${path}" ]]; then echo "${path}"; fi
done <"${work}/contents" >"${work}/there-before"

say "apt-get install ${debs[*]}"
installed=1
apt-get install -y "${debs[@]}"

dpkg -L "${packages[@]}" | grep -v -e '^$' -e '^/\.$' | sort -u >"${work}/listed"
# dpkg leaves out what its configuration excludes (manual pages, in many container images).
excluded=()
while read -r pattern; do excluded+=("${pattern}"); done < <(
  cat /etc/dpkg/dpkg.cfg /etc/dpkg/dpkg.cfg.d/* 2>/dev/null | sed -n 's/^path-exclude[= ]//p')
while read -r path; do
  for pattern in "${excluded[@]}"; do
    # shellcheck disable=SC2053
    if [[ "${path}" == ${pattern} ]]; then continue 2; fi
  done
  [[ -e "${path}" || -L "${path}" ]] || fail "${path} is listed by dpkg -L but not installed"
done <"${work}/listed"

say "the installed programs"
[[ "$(/usr/bin/kestro --version)" == "kestro ${version}" ]] ||
  fail "kestro --version says \"$(/usr/bin/kestro --version)\", not \"kestro ${version}\""
for program in kestro kestro-share kestro-browser-host kestro-devserver; do
  [[ -x "/usr/bin/${program}" ]] || fail "no /usr/bin/${program}"
  grep -qx "/usr/share/man/man1/${program}.1.gz" "${work}/listed" ||
    fail "no manual page for ${program}"
done

# A user of our own: a home with its XDG folders, no session bus and no display (kestro-share
# then shows no notification, and says what it stored on the terminal that script(1) gives it).
home="${work}/home"
mkdir -p "${home}/.config" "${home}/.local/share" "${home}/.cache"
as_user=(env -i PATH=/usr/bin:/bin HOME="${home}" XDG_CONFIG_HOME="${home}/.config"
  XDG_DATA_HOME="${home}/.local/share" XDG_CACHE_HOME="${home}/.cache" LC_ALL=C.UTF-8 NO_COLOR=1)
# kestro-share takes the signed-in user from the shared settings, where kestro signin puts it.
printf '{"tavlo.current-user-id": "%s"}\n' "E621E1F8-C36C-495A-93FC-0C247A3E6E5F" \
  >"${home}/.config/group.kestro.capture.json"

say "kestro-share --text ... (no server)"
said=$("${as_user[@]}" script -qec "/usr/bin/kestro-share --text 'shared from the package test'" \
  /dev/null) || fail "kestro-share failed: ${said}"
echo "${said}"
grep -q '^Stored ' <<<"${said}" || fail "kestro-share did not say it stored the capture"
outbox=$("${as_user[@]}" /usr/bin/kestro --no-keyring outbox --json)
records=$(grep -c '"clientCaptureId"' <<<"${outbox}" || true)
queued=$(grep -c '"state": "queued"' <<<"${outbox}" || true)
((records == 1 && queued == 1)) ||
  fail "the outbox holds ${records} captures, ${queued} queued, not one queued: ${outbox}"
grep -q '"selectedText": "shared from the package test"' <<<"${outbox}" ||
  fail "the queued capture is not the text shared: ${outbox}"

say "kestro browser install writes what the package installed for every user"
"${as_user[@]}" /usr/bin/kestro browser install
cmp "${home}/.config/chromium/NativeMessagingHosts/org.kestro.share.json" \
  /etc/chromium/native-messaging-hosts/org.kestro.share.json ||
  fail "the Chromium manifests differ"
cmp "${home}/.mozilla/native-messaging-hosts/org.kestro.share.json" \
  /usr/lib/mozilla/native-messaging-hosts/org.kestro.share.json ||
  fail "the Firefox manifests differ"

say "no Kestro program opens files or web addresses, with the file managers' actions set up too"
"${as_user[@]}" /usr/bin/kestro desktop install
for type in image/png text/plain application/pdf text/html x-scheme-handler/https; do
  handler=$("${as_user[@]}" xdg-mime query default "${type}" 2>/dev/null || true)
  echo "  ${type}: ${handler:-(none)}"
  if grep -qi kestro <<<"${handler}"; then fail "${handler} opens ${type}"; fi
done

say "apt-get purge ${packages[*]}"
apt-get purge -y "${packages[@]}"
installed=0
left=$(comm -23 "${work}/listed" "${work}/there-before" | while read -r path; do
  if [[ -e "${path}" || -L "${path}" ]]; then echo "${path}"; fi
done)
[[ -z "${left}" ]] || fail "left after the purge: ${left}"
extra=$(comm -13 "${work}/packages-before" <(installed_packages))
if [[ -n "${extra}" ]]; then
  # shellcheck disable=SC2086
  apt-get purge -y ${extra}
fi
missing=$(comm -23 "${work}/packages-before" <(installed_packages))
[[ -z "${missing}" ]] || fail "packages gone that were installed before: ${missing}"
say "passed: installed, used, purged; $(wc -l <"${work}/listed") paths listed, none left"
