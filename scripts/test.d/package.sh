# stage: Debian package: build from a clean clone, lintian, contents, unit, smoke test
# Runs `make deb` in a fresh clone of the current commit, so the package
# needs nothing this tree has built or left lying around. Then checks the
# .deb itself: lintian finds no errors, it holds exactly the files below,
# its versions agree, both units (the template for more printers too) pass
# systemd-analyze, and the program unpacked from it prints its version, its
# test receipt and a job posted to it over loopback, and refuses a page of
# another origin and a foreign Host.
set -euo pipefail
cd "$(dirname "$0")/../.."
started=$(date +%s)

work="$(mktemp -d)"
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

git clone --quiet --no-hardlinks "$PWD" "$work/clone"
make -s -C "$work/clone" deb
echo "Package built in $(($(date +%s) - started)) s"
version="$(sed -n 's/^project(quorvel2 VERSION \([^ )]*\).*/\1/p' CMakeLists.txt)"
deb="$work/clone/quorvel2_${version}_$(dpkg-architecture -qDEB_HOST_ARCH).deb"
[ -f "$deb" ] || fail "make deb did not write $deb"

lintian_status=0
lintian_output="$(lintian --fail-on error --display-info --tag-display-limit 0 "$deb" 2>&1)" || lintian_status=$?
# Lintian says so when it runs as root; that is not about the package.
echo "lintian:"
grep -v 'running with root privileges' <<<"$lintian_output" || echo "(no tags)"
[ "$lintian_status" -eq 0 ] || fail "lintian reports errors"

# Mode, owner and path of every entry, directories included.
expected_contents='drwxr-xr-x root/root ./
drwxr-xr-x root/root ./etc/
drwxr-xr-x root/root ./etc/default/
-rw-r--r-- root/root ./etc/default/quorvel2
drwxr-xr-x root/root ./lib/
drwxr-xr-x root/root ./lib/systemd/
drwxr-xr-x root/root ./lib/systemd/system/
-rw-r--r-- root/root ./lib/systemd/system/quorvel2.service
-rw-r--r-- root/root ./lib/systemd/system/quorvel2@.service
drwxr-xr-x root/root ./usr/
drwxr-xr-x root/root ./usr/bin/
-rwxr-xr-x root/root ./usr/bin/quorvel2
drwxr-xr-x root/root ./usr/share/
drwxr-xr-x root/root ./usr/share/doc/
drwxr-xr-x root/root ./usr/share/doc/quorvel2/
-rw-r--r-- root/root ./usr/share/doc/quorvel2/README.md.gz
-rw-r--r-- root/root ./usr/share/doc/quorvel2/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/quorvel2/copyright
drwxr-xr-x root/root ./usr/share/lintian/
drwxr-xr-x root/root ./usr/share/lintian/overrides/
-rw-r--r-- root/root ./usr/share/lintian/overrides/quorvel2
drwxr-xr-x root/root ./usr/share/man/
drwxr-xr-x root/root ./usr/share/man/man1/
-rw-r--r-- root/root ./usr/share/man/man1/quorvel2.1.gz'
diff -u <(echo "$expected_contents") <(dpkg-deb -c "$deb" | awk '{print $1, $2, $6}') ||
  fail "the package's file list differs from the expected one"

control() { dpkg-deb --ctrl-tarfile "$deb" | tar -xOf - "./$1"; }
[ "$(control conffiles)" = /etc/default/quorvel2 ] || fail "conffiles is not just /etc/default/quorvel2"
grep -q "deb-systemd-helper enable 'quorvel2.service'" <(control postinst) || fail "postinst does not enable the unit"
grep -q "deb-systemd-invoke \$_dh_action 'quorvel2.service'" <(control postinst) || fail "postinst does not start the unit"
grep -q "deb-systemd-invoke stop 'quorvel2.service'" <(control prerm) || fail "prerm does not stop the unit"
# An upgrade restarts the running server, through its graceful stop.
grep -q "_dh_action=restart" <(control postinst) || fail "postinst does not restart the unit on upgrade"

root="$work/root"
dpkg-deb -x "$deb" "$root"
program="$root/usr/bin/quorvel2"

# Every place that states the version must state the project's.
while IFS='|' read -r what found; do
  [ "$found" = "$version" ] || fail "$what says '$found', the project says '$version'"
done <<EOF
package Version field|$(dpkg-deb -f "$deb" Version)
debian/changelog|$(cd "$work/clone" && dpkg-parsechangelog -S Version)
quorvel2 --version|$("$program" --version)
manual page footer|$(zcat "$root/usr/share/man/man1/quorvel2.1.gz" | sed -n 's/^\.TH .* "quorvel2 \([^"]*\)".*/\1/p')
EOF

# The manual page documents every option the program offers.
for option in $("$program" --help | grep -oE -- '--[a-z-]+' | sort -u); do
  zcat "$root/usr/share/man/man1/quorvel2.1.gz" | grep -qF -- "${option//-/\\-}" ||
    fail "the manual page does not mention $option"
done

# The options file the unit reads, and how the unit runs the program.
options="$(. "$root/etc/default/quorvel2" && echo "${QUORVEL2_OPTIONS-}")"
[ "$options" = "--listen 127.0.0.1 --port 8090 --device /dev/usb/lp0" ] || fail "/etc/default/quorvel2 sets '$options'"
# check_unit NAME LINE...: the unit holds these lines and the ones that both
# units share, and nothing that would keep it from the printer's device node.
check_unit() {
  local unit="$root/lib/systemd/system/$1"
  shift
  for line in "$@" 'ExecStart=/usr/bin/quorvel2 $QUORVEL2_OPTIONS' \
    'DynamicUser=yes' 'SupplementaryGroups=lp dialout' 'Restart=on-failure' 'TimeoutStopSec=20s' 'NoNewPrivileges=yes' \
    'ProtectSystem=strict' 'PrivateTmp=yes' 'ProtectHome=yes' 'StateDirectoryMode=0700' \
    'WantedBy=multi-user.target'; do
    grep -qxF -- "$line" "$unit" || fail "$(basename "$unit") lacks '$line'"
  done
  for setting in PrivateDevices= ProtectClock= DeviceAllow= DevicePolicy=; do
    ! grep -q "^$setting" "$unit" || fail "$(basename "$unit") sets $setting"
  done
}
check_unit quorvel2.service 'EnvironmentFile=-/etc/default/quorvel2' 'StateDirectory=quorvel2'
# One more printer each: options of their own, which must exist, and a user
# and a state folder of their own.
check_unit quorvel2@.service 'EnvironmentFile=/etc/default/quorvel2-%i' 'User=quorvel2-%i' \
  'StateDirectory=quorvel2-%i'

# The units run the program unpacked here, so verify can check that it is
# executable; MANPATH lets it find the Documentation= page.
mkdir "$work/unit"
for name in quorvel2.service quorvel2@.service; do
  sed "s#^ExecStart=/usr/bin/quorvel2 #ExecStart=$program #" "$root/lib/systemd/system/$name" >"$work/unit/$name"
  verify_output="$(MANPATH="$root/usr/share/man" systemd-analyze verify "$work/unit/$name" 2>&1)" ||
    fail "systemd-analyze verify $name: $verify_output"
  [ -z "$verify_output" ] || fail "systemd-analyze verify $name complains: $verify_output"
done
echo "systemd-analyze verify: no complaints about either unit"

# The test receipt: 68 bytes from a reset to a cut. Devices are never
# created, so the file must exist first.
: >"$work/receipt.bin"
"$program" --test --device "$work/receipt.bin" || fail "--test exited with $?"
receipt="$(od -An -tx1 -v "$work/receipt.bin" | tr -d ' \n')"
[ "${#receipt}" -eq 136 ] || fail "--test wrote $((${#receipt} / 2)) bytes, not 68"
[[ "$receipt" == 1b401b40* && "$receipt" == *1d564103 ]] || fail "--test wrote $receipt"

# A job posted over loopback reaches the device whole. The port is tried
# until the server keeps it; a port another program holds ends ours at once.
: >"$work/printer.bin"
printf '\x1b@Smoke test\n\x1dVA\x03' >"$work/job.bin"
answer=
for _ in 1 2 3 4 5; do
  answer=
  port=$((20000 + RANDOM % 40000))
  STATE_DIRECTORY="$work/state" "$program" --listen 127.0.0.1 --allow-origin https://pos.example --port "$port" \
    --device "$work/printer.bin" >"$work/server.log" 2>&1 &
  server_pid=$!
  for _ in $(seq 50); do
    kill -0 "$server_pid" 2>/dev/null || break
    answer="$(curl -s -o /dev/null -w '%{http_code}' --max-time 5 --data-binary @"$work/job.bin" \
      "http://127.0.0.1:$port/escpos")" && break
    sleep 0.1
  done
  kill -0 "$server_pid" 2>/dev/null && break
  wait "$server_pid" 2>/dev/null || true
  server_pid=
done
[ -n "$server_pid" ] || fail "the server did not start: $(cat "$work/server.log")"
[ "$answer" = 200 ] || fail "POST /escpos answered '$answer'"
for refused in 'Origin: https://other.example' 'Host: rebind.example'; do
  answer="$(curl -s -o /dev/null -w '%{http_code}' --max-time 5 -H "$refused" --data-binary @"$work/job.bin" \
    "http://127.0.0.1:$port/escpos")"
  [ "$answer" = 403 ] || fail "POST /escpos with '$refused' answered '$answer'"
done
cmp -s "$work/job.bin" "$work/printer.bin" || fail "the device did not get the posted job whole, and only it"
# The state folder: owner-only, its authority's certificate served at /ca.crt.
[ "$(stat -c %a "$work/state")" = 700 ] || fail "the state folder is not owner-only"
curl -s --max-time 5 -o "$work/ca.der" "http://127.0.0.1:$port/ca.crt" || fail "GET /ca.crt failed"
sed '1d;$d' "$work/state/ca.crt" | base64 -d | cmp -s - "$work/ca.der" || fail "/ca.crt is not the state folder's ca.crt"
echo "smoke test: --version, --test, POST /escpos and its refusals, the state folder and /ca.crt on 127.0.0.1:$port passed"

echo "Package stage took $(($(date +%s) - started)) s"
