#!/bin/sh
# The checks scripts/realfw-test.sh runs inside the QEMU guest, on real EDK2 firmware served by
# the mailbox driver. Started by the initramfs's /init with the boot's phase (1: before the
# reset, 2: after it, 3: after a second reset; capture: the capture mode's dump of the HII
# database and the variables; linux-capture: the same, or at the first boot the variables that
# prepare it). Each check prints "realfw: ok WHAT" or "realfw: FAIL WHAT" on the console;
# every file the checks made is in /r, which /init sends to the host. kestrel-attrs's journal
# (/var/lib/kestrel/journal) goes to the host in /r/journal, which puts it back into the next
# boot's initramfs, as the machine's disk would keep it.
phase=$1
R=${KESTREL_REALFW_RESULTS:-/r}
FW=${KESTREL_SYSFS_FIRMWARE:-/sys/firmware}
VARS=$FW/efi/efivars
CHIPSET=ChipsetSetup-3f9a4c12-8d7b-4e65-a1c3-52e8b90d4f17
failed=0

ok() { echo "realfw: ok $*"; }
fail() { echo "realfw: FAIL $*"; failed=1; }
# run NAME COMMAND...: output in $R/NAME.out, status in $R/NAME.rc; returns the status.
run() {
  name=$1
  shift
  "$@" >"$R/$name.out" 2>&1 </dev/null
  rc=$?
  echo "$rc" >"$R/$name.rc"
  return $rc
}
# Prints lines (a file, or standard input) as details the host shows under a check.
detail() { sed 's/^/realfw: | /' "$@"; }
expect_rc() { # WHAT NAME WANTED
  got=$(cat "$R/$2.rc")
  if [ "$got" = "$3" ]; then ok "$1"; else fail "$1 (status $got, wanted $3; output follows)"; detail "$R/$2.out"; fi
}
# Each variable's content and modification time, the mailbox left out (it is answered in memory).
vars_state() {
  for f in "$VARS"/*; do
    case "$f" in */KMBX-*) continue ;; esac
    echo "$(md5sum "$f" | cut -d' ' -f1) $(stat -c %Y "$f") ${f##*/}"
  done
}
# The byte at OFFSET of a variable's data, in decimal. Read through a pipe: efivarfs files cannot
# be seeked.
var_byte() { cat "$VARS/$1" | od -An -tu1 -j $((4 + $2)) -N1 | tr -d ' '; }
# Each attribute of a verify report: "NAME STATUS (requested R, now C)".
verdicts() {
  awk -F'"' '/"AttributeName"/ { n = $4 } /"Status"/ && n { s = $4 }
    /"RequestedValue"|"CurrentValue"/ { v = $0; sub(/^[^:]*: /, "", v); sub(/,$/, "", v) }
    /"RequestedValue"/ { r = v } /"CurrentValue"/ { print n " " s " (requested " r ", now " v ")"; n = "" }' "$1"
}
# The journal to the host, for the next boot.
keep_journal() { mkdir -p $R/journal && cp -a /var/lib/kestrel/journal/. $R/journal/; }
# Sets the value of the numeric question PROMPT in a script to VALUE.
set_numeric() { # FILE PROMPT VALUE
  awk -v q="Setup Question	= $2" -v v="$3" '
    index($0, q) == 1 { hit = 1 }
    hit && /^Value	=</ { sub(/<[^>]*>/, "<" v ">"); hit = 0 }
    { print }' "$1"
}

# The capture's first boot by Linux: the driver is not loaded yet, this boot adds it.
setting_up=0
[ "$phase" = linux-capture ] && [ ! -e "$VARS/Driver0000-8be4df61-93ca-11d2-aa0d-00e098032b8c" ] && setting_up=1

if [ "$setting_up" = 0 ]; then
  [ -r $FW/acpi/tables/FIDT ] && ok "identification table installed" || fail "no $FW/acpi/tables/FIDT"
  head -c 71 $FW/acpi/tables/FIDT | tail -c 3 | od -An -c >"$R/fidt-version.txt" 2>&1
fi

# The conformance checks, on the firmware as the boot found it (before any edit): the tool's own
# exports imported unedited write nothing, the attribute registry is produced (the host validates
# it against DMTF's schema) and the attributes mount reads every readable file without an error.
# Each failure says what failed, with the tool's output.
conformance() {
  sleep 1.2
  vars_state >$R/vars-before-conformance.txt
  run unedited-import KESLNX_64 /i /s $R/setup1.txt /r
  expect_rc "unedited script export imported under /r" unedited-import 0
  # Findings are the import's "WARNING : " and "ERROR : " lines. The parser's note on a block
  # without "*" (the firmware holds a value no option has: the block leaves it unchanged) is not
  # one.
  warnings=$(grep -cE '^(WARNING|ERROR) : ' $R/unedited-import.out)
  [ "$warnings" = 0 ] && ok "unedited script import reported no finding" ||
    { fail "unedited script import reported findings ($warnings); the first:"; grep -E -A2 '^(WARNING|ERROR) : ' $R/unedited-import.out | head -12 | detail; }
  grep -q "System configuration not modified." $R/unedited-import.out &&
    ok "unedited script import: System configuration not modified." ||
    fail "unedited script import did not say \"System configuration not modified.\""
  vars_state >$R/vars-after-unedited.txt
  cmp -s $R/vars-before-conformance.txt $R/vars-after-unedited.txt && ok "unedited script import wrote nothing" ||
    { fail "unedited script import wrote variables"; diff $R/vars-before-conformance.txt $R/vars-after-unedited.txt | detail; }

  run pldm-export KESLNX_64 /o /p $R/setup1.pldm
  expect_rc "PLDM export" pldm-export 0
  sleep 1.2
  run pldm-import KESLNX_64 /i /p $R/setup1.pldm
  expect_rc "unedited PLDM export imported" pldm-import 0
  vars_state >$R/vars-after-pldm.txt
  cmp -s $R/vars-after-unedited.txt $R/vars-after-pldm.txt && ok "unedited PLDM import wrote nothing" ||
    { fail "unedited PLDM import wrote variables"; diff $R/vars-after-unedited.txt $R/vars-after-pldm.txt | detail; }

  run attrs-registry kestrel-attrs registry -o $R/registry.json
  expect_rc "kestrel-attrs registry" attrs-registry 0

  if [ ! -c /dev/fuse ]; then
    echo "realfw: skip kestrel-attrs mount: the guest has no /dev/fuse"
    return
  fi
  mkdir -p /tmp/attrs
  run attrs-mount kestrel-attrs mount /tmp/attrs --detach
  if [ "$(cat $R/attrs-mount.rc)" != 0 ]; then
    fail "kestrel-attrs mount (status $(cat $R/attrs-mount.rc); output follows)"
    detail $R/attrs-mount.out
    return
  fi
  : >$R/attrs-mount-errors.txt
  files=0
  for f in $(find /tmp/attrs -type f); do
    [ -r "$f" ] || continue
    files=$((files + 1))
    cat "$f" >/dev/null 2>>$R/attrs-mount-errors.txt || echo "unreadable: ${f#/tmp/attrs/}" >>$R/attrs-mount-errors.txt
  done
  errors=$(grep -c '^unreadable' $R/attrs-mount-errors.txt)
  [ "$files" -gt 0 ] && [ "$errors" = 0 ] && ok "kestrel-attrs mount: all $files readable files read" ||
    { fail "kestrel-attrs mount: $errors of $files readable files could not be read"; head -20 $R/attrs-mount-errors.txt | detail; }
  umount /tmp/attrs
  sleep 1.2
  vars_state >$R/vars-after-mount.txt
  cmp -s $R/vars-after-pldm.txt $R/vars-after-mount.txt && ok "reading the mount wrote nothing" ||
    { fail "reading the mount wrote variables"; diff $R/vars-after-pldm.txt $R/vars-after-mount.txt | detail; }
}

if [ "$setting_up" = 1 ]; then
  # The driver option, capture mode, the setup program at the next boot.
  for f in /capture-vars/*; do
    chattr -i "$VARS/${f##*/}" 2>/dev/null
    cat "$f" >"$VARS/${f##*/}" && ok "set ${f##*/}" || fail "cannot set ${f##*/}"
  done
elif [ "$phase" = capture ] || [ "$phase" = linux-capture ]; then
  # The export writes the HII dump even where no form set has its variables.
  run export KESLNX_64 /o /s $R/setup.txt /h $R/hii.bin
  [ -s $R/hii.bin ] && ok "HII dump (export status $(cat $R/export.rc))" || { fail "no HII dump"; detail $R/export.out; }
  gzip -c $R/hii.bin | tail -c 8 | head -c 4 | od -An -tx4 | tr -d ' ' >$R/hii.crc
  mkdir -p $R/efivars
  for f in "$VARS"/*; do
    case "$f" in */KMBX-*) continue ;; esac
    cat "$f" >"$R/efivars/${f##*/}"
  done
  ok "$(ls $R/efivars | wc -l) variables copied"
elif [ "$phase" = 1 ]; then
  run export KESLNX_64 /o /s $R/setup1.txt /h $R/hii1.bin
  expect_rc "export with HII dump" export 0
  gzip -c $R/hii1.bin | tail -c 8 | head -c 4 | od -An -tx4 | tr -d ' ' >$R/hii1.crc

  conformance

  run boot-export KESLNX_64 /o /s $R/boot1.txt /b
  expect_rc "export with boot order" boot-export 0
  efibootmgr >$R/efibootmgr1.out 2>&1

  # Raw mode: listing and dump through the mailbox enumeration, then an unchanged import.
  run raw-export KESLNX_64 /o /c /l $R/vars.lst /n $R/nvram.raw /h $R/hii-raw.bin
  expect_rc "raw export" raw-export 0
  grep -q "VARIABLE_NAME.*BootOrder" $R/vars.lst && grep -q "VARIABLE_NAME.*ChipsetSetup" $R/vars.lst &&
    ok "listing holds BootOrder and ChipsetSetup" || fail "listing lacks BootOrder or ChipsetSetup"
  vars_state >$R/vars-before-raw.txt
  sleep 1.2 # a write in the same second would keep the modification time
  run raw-import KESLNX_64 /i /l $R/vars.lst /n $R/nvram.raw
  expect_rc "unchanged raw import" raw-import 0
  vars_state >$R/vars-after-raw.txt
  cmp -s $R/vars-before-raw.txt $R/vars-after-raw.txt && ok "unchanged raw import wrote nothing" ||
    { fail "unchanged raw import wrote variables"; diff $R/vars-before-raw.txt $R/vars-after-raw.txt | detail; }

  # A refused import: a value changed, the checksum line foreign, all or nothing.
  set_numeric $R/setup1.txt "PCI Segment Count" 7 | sed 's/^HIICrc32= [0-9A-Fa-f]*/HIICrc32= 1234ABCD/' >$R/foreign.txt
  sleep 1.2
  run refused-import KESLNX_64 /i /s $R/foreign.txt /r
  [ "$(cat $R/refused-import.rc)" != 0 ] && ok "foreign checksum refused" || fail "foreign checksum accepted"
  vars_state >$R/vars-after-refused.txt
  cmp -s $R/vars-after-raw.txt $R/vars-after-refused.txt && ok "refused import wrote nothing" ||
    { fail "refused import wrote variables"; diff $R/vars-after-raw.txt $R/vars-after-refused.txt | detail; }

  # The boot order reversed in the export and imported (before the edited value: the import of
  # the whole exported script writes every value as it was).
  awk '
    /^Setup Question	= Boot Option #/ { inq = 1 }
    inq && /^ListOrder	=/ { n = 0; collecting = 1 }
    collecting && /\[[0-9a-fA-F]+\]/ {
      line[n] = $0; match($0, /\[[0-9a-fA-F]+\].*/); item[n] = substr($0, RSTART); n++; next
    }
    collecting {
      for (i = 0; i < n; i++) { l = line[i]; sub(/\[[0-9a-fA-F]+\].*/, item[n - 1 - i], l); print l }
      collecting = 0; inq = 0
    }
    { print }' $R/boot1.txt >$R/boot-reversed.txt
  awk '/^Setup Question	= Boot Option #/ { inq = 1 } inq && /\[[0-9a-fA-F]+\]/ { match($0, /\[[0-9a-fA-F]+\]/);
       printf "%s%s", sep, toupper(substr($0, RSTART + 1, RLENGTH - 2)); sep = "," } inq && /^$/ && sep { exit }' \
    $R/boot-reversed.txt >$R/expected-bootorder.txt
  run boot-import KESLNX_64 /i /s $R/boot-reversed.txt /b
  expect_rc "boot order import" boot-import 0
  efibootmgr >$R/efibootmgr1-after.out 2>&1
  grep -q "^BootOrder: $(cat $R/expected-bootorder.txt)\$" $R/efibootmgr1-after.out &&
    ok "efibootmgr reports the imported order $(cat $R/expected-bootorder.txt)" ||
    fail "efibootmgr reports $(grep BootOrder $R/efibootmgr1-after.out), imported $(cat $R/expected-bootorder.txt)"

  # An edited value of the driver's form set, imported: it goes to the firmware's flash.
  before=$(var_byte $CHIPSET 19)
  set_numeric $R/setup1.txt "PCI Segment Count" 5 >$R/edited.txt
  run edit-import KESLNX_64 /i /s $R/edited.txt
  expect_rc "edited import" edit-import 0
  after=$(var_byte $CHIPSET 19)
  [ "$before" = 1 ] && [ "$after" = 5 ] && ok "ChipsetSetup byte 0x13 went from 1 to 5" ||
    fail "ChipsetSetup byte 0x13 is $after (was $before)"

  # Two values of the driver's form set through kestrel-attrs, recorded in its journal: Wake on
  # LAN off, and a watchdog timeout the driver's platform policy clamps to 1800 at the next boot.
  run journal-set kestrel-attrs set SB002=Disabled SB011=3000
  expect_rc "kestrel-attrs set SB002=Disabled SB011=3000" journal-set 0
  run journal-verify1 kestrel-attrs verify
  expect_rc "verify before the reset: pending-reboot (status 6)" journal-verify1 6
  keep_journal
elif [ "$phase" = 2 ]; then
  run export KESLNX_64 /o /s $R/setup2.txt /b /h $R/hii2.bin
  expect_rc "export after the reset" export 0
  gzip -c $R/hii2.bin | tail -c 8 | head -c 4 | od -An -tx4 | tr -d ' ' >$R/hii2.crc
  efibootmgr >$R/efibootmgr2.out 2>&1
  var_byte $CHIPSET 19 >$R/chipset-byte.txt

  # After the reset: one value applied, one adjusted by the firmware; the rollback puts both back.
  run journal-verify2 kestrel-attrs verify
  expect_rc "verify after the reset: a value did not hold (status 7)" journal-verify2 7
  verdicts $R/journal-verify2.out | detail
  run journal-list2 kestrel-attrs journal
  detail $R/journal-list2.out
  run journal-rollback kestrel-attrs rollback
  expect_rc "rollback" journal-rollback 0
  keep_journal
elif [ "$phase" = 3 ]; then
  # After a second reset: the values from before the change, and the rollback verified.
  run export KESLNX_64 /o /s $R/setup3.txt
  expect_rc "export after the rollback's reset" export 0
  run journal-verify3 kestrel-attrs verify
  expect_rc "verify of the rollback after the reset: every value applied" journal-verify3 0
  run journal-list3 kestrel-attrs journal
  detail $R/journal-list3.out
fi
dmesg >$R/dmesg.txt
echo "$failed" >$R/failed
