#!/usr/bin/env bash
# The tool on real EDK2 firmware: boots Debian's OVMF and Debian's kernel (unpacked from the
# archive, not installed) under QEMU (TCG) on one persistent copy of the variable store: first
# the UEFI shell's startup.nsh makes the mailbox driver a Driver#### load option, then three boots
# of the kernel run
# scripts/realfw-guest.sh inside: export with the HII dump, an edited value and a reordered boot
# order imported, raw mode, a refused import, the conformance checks (unedited script and PLDM
# exports imported without writing, the attribute registry, the attributes mount), two values set
# with kestrel-attrs; after the reset, the values are read back, kestrel-attrs verify finds one
# applied and one adjusted by the driver's platform policy, and rollback puts both back; after
# the second reset, an export shows the values from before.
#
#   scripts/realfw-test.sh            exit 0: passed, 1: failed, 77: skipped (reason printed)
#   scripts/realfw-test.sh --capture DIR [NAME...]
#                                     captures the HII database (and the variables its form
#                                     sets declare) of each x86-64 build in the ovmf package
#                                     while its setup program runs with a network card, into
#                                     DIR/NAME-setup-nic-hii.bin and DIR/NAME-setup-nic-vars/
#                                     (NAME: the captures below; all when none is named)
#
# KESTREL_REALFW_BUILD_DIR (default build-realfw) holds the static build of the tool and the
# driver, the downloaded packages (realfw-cache/) and the run's files (realfw/). Each boot's
# serial log (realfw/bootN.log) is kept when the run fails. KESTREL_REALFW_BOOT_TIMEOUT bounds
# each boot (seconds, default 900).
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath -m "${KESTREL_REALFW_BUILD_DIR:-build-realfw}")
boot_timeout=${KESTREL_REALFW_BOOT_TIMEOUT:-900}
cache=$build/realfw-cache
work=$build/realfw
capture_dir=""
capture_names=()
if [ "${1:-}" = --capture ]; then
  [ $# -ge 2 ] || { echo "usage: scripts/realfw-test.sh [--capture DIR [NAME...]]" >&2; exit 2; }
  capture_dir=$(realpath -m "$2")
  shift 2
  capture_names=("$@")
elif [ $# -gt 0 ]; then
  echo "usage: scripts/realfw-test.sh [--capture DIR [NAME...]]" >&2
  exit 2
fi

skip() {
  echo "realfw-test: skipped: $*"
  exit 77
}
die() {
  echo "realfw-test: FAILED: $*" >&2
  exit 1
}

[ "$(uname -m)" = x86_64 ] || skip "the QEMU lane needs an x86-64 host"
scripts/install-deps.sh qemu-system-x86 gnu-efi busybox-static mtools dosfstools cpio efibootmgr >/dev/null ||
  skip "qemu-system-x86, gnu-efi, busybox-static, mtools, dosfstools and cpio cannot be installed"
if [ -n "$capture_dir" ]; then
  # The setup program is driven over the console by Python; the secure-boot capture signs the
  # driver and the kernel with the test key Debian ships in the ovmf package.
  scripts/install-deps.sh python3 sbsigntool systemd-boot-efi >/dev/null ||
    die "python3, sbsigntool and systemd-boot-efi cannot be installed"
fi

# Debian's OVMF and kernel packages, downloaded once into the cache and unpacked there.
mkdir -p "$cache"
kernel_package() { apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ { print $2; exit }'; }
kpkg=$(kernel_package)
if [ -z "$kpkg" ]; then
  apt-get update -qq >/dev/null 2>&1 || true
  kpkg=$(kernel_package)
fi
[ -n "$kpkg" ] || skip "the package lists name no Debian kernel (linux-image-amd64)"
for pkg in ovmf "$kpkg"; do
  if ! ls "$cache/${pkg}"_*.deb >/dev/null 2>&1; then
    (cd "$cache" && apt-get download "$pkg" >/dev/null 2>&1) || skip "apt-get download $pkg failed"
  fi
  if [ ! -e "$cache/$pkg.unpacked" ]; then
    dpkg-deb -x "$(ls "$cache/${pkg}"_*.deb | head -1)" "$cache/root"
    touch "$cache/$pkg.unpacked"
  fi
done
ovmf=$cache/root/usr/share/OVMF
ovmf_code=$ovmf/OVMF_CODE_4M.fd
ovmf_vars=$ovmf/OVMF_VARS_4M.fd
vmlinuz=$(ls "$cache"/root/boot/vmlinuz-* | head -1)
efivarfs_ko=$(ls "$cache"/root/lib/modules/*/kernel/fs/efivarfs/efivarfs.ko | head -1)
fuse_ko=$(ls "$cache"/root/lib/modules/*/kernel/fs/fuse/fuse.ko | head -1)
for f in "$ovmf_code" "$ovmf_vars" "$vmlinuz" "$efivarfs_ko" "$fuse_ko"; do [ -f "$f" ] || die "missing $f"; done

# The tool, statically linked for the guest, and the driver.
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
# kestrel-attrs links libfuse3's static archive (pkg-config names the shared one); libsystemd has
# none, and the guest runs no fwupd daemon to tell of changes.
fuse_archive=$(pkg-config --variable=libdir fuse3 2>/dev/null)/libfuse3.a
[ -f "$fuse_archive" ] || die "libfuse3's static archive is missing (package libfuse3-dev)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTREL_TESTS=OFF -DKESTREL_EMULATOR=OFF \
  -DCMAKE_EXE_LINKER_FLAGS=-static -Dpkgcfg_lib_ATTRS_FUSE3_fuse3="$fuse_archive" -DKESTREL_ATTRS_FWUPD=OFF \
  "${launcher[@]}" >/dev/null
mkdir -p "$cache"
cmake --build "$build" -j"$(nproc)" --target KESLNX_64 kestrel-attrs kestrel-mailbox-driver >"$cache/build.log" 2>&1 ||
  { cat "$cache/build.log" >&2; die "the build failed"; }
grep -q KESTREL_ATTRS_MOUNT "$build/companions/attrs/CMakeFiles/kestrel-attrs.dir/flags.make" ||
  die "kestrel-attrs was built without its mount (libfuse3 not found)"
driver=$build/uefi/mailbox-driver/kestrel-mailbox.efi
[ -f "$driver" ] || die "the driver was not built (is gnu-efi installed?)"

rm -rf "$work"
mkdir -p "$work"

# The initramfs: static busybox, the tool, kestrel-attrs, efibootmgr with its libraries,
# efivarfs and FUSE, the checks.
root=$work/initramfs
mkdir -p "$root"/{bin,dev,proc,sys,tmp,r}
cp /bin/busybox "$root/bin/busybox"
cp "$build/KESLNX_64" "$root/bin/KESLNX_64"
cp "$build/companions/attrs/kestrel-attrs" "$root/bin/kestrel-attrs"
cp "$efivarfs_ko" "$root/efivarfs.ko"
cp "$fuse_ko" "$root/fuse.ko"
cp scripts/realfw-guest.sh "$root/realfw-guest.sh"
efibootmgr=$(command -v efibootmgr)
cp "$efibootmgr" "$root/bin/efibootmgr"
for lib in $(ldd "$efibootmgr" | grep -o '/[^ ]*'); do
  mkdir -p "$root$(dirname "$lib")"
  cp -L "$lib" "$root$lib"
done
cat >"$root/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
insmod /efivarfs.ko
mount -t efivarfs efivarfs /sys/firmware/efi/efivars
insmod /fuse.ko
phase=$(sed -n 's/.*kestrel\.phase=\([a-z0-9-]*\).*/\1/p' /proc/cmdline)
echo "realfw: phase $phase"
mkdir -p /tmp/home && cd /tmp/home
sh /realfw-guest.sh "$phase"
# The results to the host over the second serial port; closing the port waits until it is sent.
stty -F /dev/ttyS1 raw 2>/dev/null
{ echo "realfw-data-begin"; tar -cf - -C /r . | base64; echo "realfw-data-end"; } >/dev/ttyS1
echo "realfw: done"
poweroff -f
EOF
chmod +x "$root/init" "$root/realfw-guest.sh"
# The variables the capture's first boot sets when it runs Linux rather than the shell.
[ -z "$capture_dir" ] || python3 scripts/realfw-capture.py setup-vars "$root/capture-vars"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz"

# The ESP: the kernel, the initramfs, the driver and the shell's startup.nsh (set per boot).
esp=$work/esp.img
size_kb=$(( ($(stat -c %s "$vmlinuz") + $(stat -c %s "$work/initrd.gz") + $(stat -c %s "$driver")) / 1024 + 8192 ))
if [ -n "$capture_dir" ]; then
  # Signed with the snakeoil key as well (the kernel keeps Debian's signature beside it), so that
  # firmware whose db holds only that key runs them; without secure boot the signature is unused.
  snakeoil=$cache/root/usr/share/ovmf/PkKek-1-snakeoil
  openssl pkey -in "$snakeoil.key" -passin pass:snakeoil -out "$work/snakeoil.key"
  sbsign --key "$work/snakeoil.key" --cert "$snakeoil.pem" --output "$work/vmlinuz" "$vmlinuz" 2>/dev/null
  sbsign --key "$work/snakeoil.key" --cert "$snakeoil.pem" --output "$work/mailbox.efi" "$driver" 2>/dev/null
  vmlinuz=$work/vmlinuz
  driver=$work/mailbox.efi
  # A second ESP for firmware that refuses the shell (secure boot on): the kernel, the initramfs
  # and the command line in one signed image (systemd's EFI stub), booted by the firmware as the
  # disk's default loader \EFI\BOOT\BOOTX64.EFI.
  printf '%s' "console=ttyS0 loglevel=4 panic=1 kestrel.phase=linux-capture" >"$work/cmdline.txt"
  objcopy --add-section .cmdline="$work/cmdline.txt" --change-section-vma .cmdline=0x30000 \
    --add-section .linux="$vmlinuz" --change-section-vma .linux=0x2000000 \
    --add-section .initrd="$work/initrd.gz" --change-section-vma .initrd=0x3000000 \
    /usr/lib/systemd/boot/efi/linuxx64.efi.stub "$work/linux-unsigned.efi"
  sbsign --key "$work/snakeoil.key" --cert "$snakeoil.pem" --output "$work/linux.efi" "$work/linux-unsigned.efi" 2>/dev/null
  esp_linux=$work/esp-linux.img
  mkfs.vfat -C -n KESTREL "$esp_linux" $(( $(stat -c %s "$work/linux.efi") / 1024 + 8192 )) >/dev/null
  mmd -i "$esp_linux" ::/EFI ::/EFI/BOOT ::/kestrel
  mcopy -i "$esp_linux" "$work/linux.efi" ::/EFI/BOOT/BOOTX64.EFI
  mcopy -i "$esp_linux" "$driver" ::/kestrel/mailbox.efi
fi
mkfs.vfat -C -n KESTREL "$esp" "$size_kb" >/dev/null
mcopy -i "$esp" "$vmlinuz" ::/vmlinuz
mcopy -i "$esp" "$work/initrd.gz" ::/initrd.gz
mmd -i "$esp" ::/kestrel
mcopy -i "$esp" "$driver" ::/kestrel/mailbox.efi

failed=0
# The machine: q35 with the firmware's code read-only and its own copy of a variable store
# ($work/vars.fd); the secure-boot builds need SMM and a flash only SMM can write. The ESP's disk
# sits at a fixed PCI address: the driver's load option names it, and a network card added to a
# later boot must not move it.
machine=(-machine q35,accel=tcg)
qemu_machine() { # CODE: QEMU's options for that code image and $work/vars.fd, one a line
  printf '%s\n' "${machine[@]}" -m 1024 -smp 1 -display none -no-reboot \
    -drive "if=pflash,format=raw,unit=0,readonly=on,file=$1" -drive "if=pflash,format=raw,unit=1,file=$work/vars.fd" \
    -drive "if=none,id=esp,format=raw,file=$esp" -device virtio-blk-pci,drive=esp,addr=0x5
}
qemu() { # PHASE
  local rc=0
  mapfile -t options < <(qemu_machine "$ovmf_code")
  timeout "$boot_timeout" qemu-system-x86_64 "${options[@]}" -nic none \
    -serial file:"$work/boot$1.log" -serial file:"$work/boot$1.data" </dev/null >"$work/qemu$1.out" 2>&1 || rc=$?
  [ "$rc" -eq 0 ] || echo "realfw-test: QEMU ended with status $rc (124: the boot took longer than ${boot_timeout}s)"
  # The guest's check lines and the driver's, without the firmware console's escape sequences.
  tr -d '\r' <"$work/boot$1.log" | sed 's/\x1b\[[0-9;=?]*[A-Za-z]//g' | grep -a '^realfw: \|^kestrel-mailbox:' || true
}
startup() { # the shell's commands, one per argument
  printf '%s\r\n' "$@" >"$work/startup.nsh"
  mcopy -o -i "$esp" "$work/startup.nsh" ::/startup.nsh
}
# Capture mode: for each build, a fresh copy of its variable store and two boots.
# Boot 0 adds the driver as Driver0000, sets KestrelCapture (which puts the driver in capture
# mode: it registers no form sets, so the HII database it serves is the firmware's own) and asks,
# through OsIndications, for the setup program at the next boot. The shell does it (FLOW shell)
# or, where the firmware refuses the shell (secure boot on), Linux from the second ESP (FLOW
# linux), which writes the same variables (realfw-capture.py setup-vars).
# Boot 1, with a virtio-net card, goes through the setup program's Boot Manager page to the
# shell (startup.nsh starts the kernel) or to the disk's default loader (the signed Linux image):
# the driver's ReadyToBoot snapshot is the database the setup program shows, and the guest dumps
# it (/h) and copies the variables.
#   NAME  CODE  VARS  SECURE  FLOW
# SECURE 1: the build needs SMM; 2: also S3 off (the 2 MB secure build stops before its first
# console output otherwise).
captures=(
  "ovmf-x64-4m OVMF_CODE_4M.fd OVMF_VARS_4M.fd 0 shell"
  "ovmf-x64-2m OVMF_CODE.fd OVMF_VARS.fd 0 shell"
  "ovmf-x64-4m-secboot OVMF_CODE_4M.secboot.fd OVMF_VARS_4M.fd 1 shell"
  "ovmf-x64-4m-secboot-snakeoil OVMF_CODE_4M.secboot.fd OVMF_VARS_4M.snakeoil.fd 1 linux"
  "ovmf-x64-2m-secboot OVMF_CODE.secboot.fd OVMF_VARS.fd 2 shell"
)
# Unpacks what the guest sent over the second serial port into DIR; false when nothing came.
results() { # DATA DIR
  rm -rf "$2"
  mkdir -p "$2"
  sed -n '/^realfw-data-begin/,/^realfw-data-end/p' "$1" | tr -d '\r' | sed '1d;$d' | base64 -di | tar -xf - -C "$2"
}
# The guest's check lines and the driver's snapshot lines of a console log.
console_lines() { # LOG
  tr -d '\r' <"$1" | sed 's/\x1b\[[0-9;=?]*[A-Za-z]//g' | grep -ao '^realfw: .*\|kestrel-mailbox: HII snapshot.*' | sed "s/^/  /" || true
}
capture() { # NAME CODE VARS SECURE FLOW
  local name=$1 code=$ovmf/$2 flow=$5 log=$work/$1.log data=$work/$1.data rc=0 option
  cp "$ovmf/$3" "$work/vars.fd"
  machine=(-machine q35,accel=tcg)
  [ "$4" = 0 ] || machine=(-machine q35,smm=on,accel=tcg -global driver=cfi.pflash01,property=secure,value=on)
  [ "$4" != 2 ] || machine+=(-global ICH9-LPC.disable_s3=1)
  echo "realfw-test: $name: boot 0, adding the driver and asking for the setup program ($2, $3, by the $flow)"
  if [ "$flow" = shell ]; then
    mapfile -t options < <(qemu_machine "$code")
    startup 'fs0:' 'bcfg driver add 0 fs0:\kestrel\mailbox.efi "Kestrel mailbox"' \
      'setvar KestrelCapture -guid 280BCC15-2CD7-467C-9647-1B30307D7ED5 -nv -bs =01' \
      'setvar OsIndications -guid 8BE4DF61-93CA-11D2-AA0D-00E098032B8C -nv -bs -rt =0100000000000000' 'reset -s'
    startup_after='\vmlinuz initrd=\initrd.gz console=ttyS0 loglevel=4 panic=1 kestrel.phase=capture'
    option="EFI Internal Shell"
  else
    local esp_saved=$esp
    esp=$esp_linux
    mapfile -t options < <(qemu_machine "$code")
    esp=$esp_saved
    option="UEFI Non-Block Boot Device"
  fi
  timeout "$boot_timeout" qemu-system-x86_64 "${options[@]}" -nic none -serial file:"$work/$name-boot0.log" \
    -serial file:"$work/$name-boot0.data" </dev/null >"$work/$name-qemu0.out" 2>&1 ||
    { cat "$work/$name-qemu0.out"; die "$name: boot 0 failed (log $work/$name-boot0.log)"; }
  if [ "$flow" = linux ]; then
    console_lines "$work/$name-boot0.log"
    results "$work/$name-boot0.data" "$work/$name-boot0" && [ "$(cat "$work/$name-boot0/failed")" = 0 ] ||
      die "$name: boot 0 did not set the variables (log $work/$name-boot0.log)"
  else
    grep -aq 'bcfg: Add Driver0000' "$work/$name-boot0.log" || die "$name: the shell did not add Driver0000 (log $work/$name-boot0.log)"
    startup 'fs0:' "$startup_after"
  fi
  echo "realfw-test: $name: boot 1, the setup program with a virtio-net card (console log $log)"
  : >"$data"
  timeout "$boot_timeout" python3 scripts/realfw-capture.py setup "$log" "$option" -- qemu-system-x86_64 "${options[@]}" \
    -nic user,model=virtio-net-pci -chardev stdio,id=console,signal=off -serial chardev:console \
    -serial file:"$data" -monitor none 2>"$work/$name-qemu1.out" || rc=$?
  [ "$rc" -eq 0 ] || { cat "$work/$name-qemu1.out"; die "$name: boot 1 ended with status $rc (log $log)"; }
  local out=$work/$name
  results "$data" "$out" || die "$name: the guest sent no results (log $log)"
  console_lines "$log"
  [ "$(cat "$out/failed" 2>/dev/null)" = 0 ] || die "$name: the guest's export failed (log $log)"
  # The dump must be the driver's last snapshot, byte for byte.
  local snapshot size crc
  snapshot=$(tr -d '\r' <"$log" | grep -ao 'kestrel-mailbox: HII snapshot [0-9]* bytes, CRC32 [0-9a-fA-F]*' | tail -1)
  size=$(sed -n 's/.*snapshot \([0-9]*\) bytes.*/\1/p' <<<"$snapshot")
  crc=$(sed -n 's/.*CRC32 \([0-9a-fA-F]*\).*/\1/p' <<<"$snapshot")
  [ -n "$crc" ] && [ "$(stat -c %s "$out/hii.bin")" = "$size" ] && [ "$((16#$(cat "$out/hii.crc")))" = "$((16#$crc))" ] ||
    die "$name: the /h dump is not the driver's snapshot ($snapshot)"
  # In capture mode the driver registers nothing: its form set's GUID is not in the dump.
  python3 -c 'import sys, uuid; sys.exit(uuid.UUID(sys.argv[2]).bytes_le in open(sys.argv[1], "rb").read())' \
    "$out/hii.bin" 3F9A4C12-8D7B-4E65-A1C3-52E8B90D4F17 || die "$name: the dump holds the driver's own form sets"
  mkdir -p "$capture_dir"
  cp "$out/hii.bin" "$capture_dir/$name-setup-nic-hii.bin"
  rm -rf "$capture_dir/$name-setup-nic-vars"
  echo "realfw-test: $name: $size bytes, CRC32 $crc; declared variables present:" \
    "$(python3 scripts/realfw-capture.py varstores "$out/hii.bin" "$out/efivars" "$capture_dir/$name-setup-nic-vars")"
  rmdir "$capture_dir/$name-setup-nic-vars" 2>/dev/null || true
}
if [ -n "$capture_dir" ]; then
  for name in "${capture_names[@]}"; do
    printf '%s\n' "${captures[@]}" | grep -q "^$name " || die "no capture is named $name"
  done
  for entry in "${captures[@]}"; do
    read -r name code vars secure flow <<<"$entry"
    if [ ${#capture_names[@]} -gt 0 ] && ! printf '%s\n' "${capture_names[@]}" | grep -qx "$name"; then continue; fi
    capture "$name" "$code" "$vars" "$secure" "$flow"
  done
  echo "realfw-test: captures written to $capture_dir"
  exit 0
fi

cp "$ovmf_vars" "$work/vars.fd"
# Boot 0: the shell adds the driver as load option Driver0000 and powers off. From then on the
# firmware loads it before the end of DXE, as a driver of the machine's own; loaded later, from
# the shell, its code would not be described in the firmware's memory attributes table, and
# Linux maps runtime code outside that table's code ranges non-executable.
startup 'fs0:' 'bcfg driver add 0 fs0:\kestrel\mailbox.efi "Kestrel mailbox"' 'reset -s'
echo "realfw-test: boot 0, adding Driver0000 (serial log $work/boot0.log)"
qemu 0
boot() { # PHASE
  local phase=$1 log=$work/boot$1.log data=$work/boot$1.data
  startup 'fs0:' "\\vmlinuz initrd=\\initrd.gz console=ttyS0 loglevel=4 panic=1 kestrel.phase=$phase"
  echo "realfw-test: boot $phase (serial log $log)"
  qemu "$phase"
  grep -aq 'kestrel-mailbox: HII snapshot' "$log" ||
    { echo "realfw-test: FAILED: the firmware did not load the driver in boot $phase; serial logs kept in $work" >&2; exit 1; }
  local out=$work/results$phase
  mkdir -p "$out"
  sed -n '/^realfw-data-begin/,/^realfw-data-end/p' "$data" | tr -d '\r' | sed '1d;$d' | base64 -di | tar -xf - -C "$out" ||
    { echo "realfw-test: FAILED: boot $phase sent no results; serial logs kept in $work" >&2; exit 1; }
  [ "$(cat "$out/failed" 2>/dev/null)" = 0 ] || failed=1
}
# kestrel-attrs's journal, from the results of a boot, into the next boot's initramfs (a second
# archive after the first, owned by root), as the machine's disk would keep it over the reset.
carry_journal() { # RESULTS
  local state=$work/state
  rm -rf "$state"
  mkdir -p "$state/var/lib/kestrel/journal"
  cp -a "$1/journal/." "$state/var/lib/kestrel/journal/" 2>/dev/null || true
  chmod 700 "$state/var/lib/kestrel" "$state/var/lib/kestrel/journal"
  find "$state/var/lib/kestrel/journal" -type f -exec chmod 600 {} +
  (cd "$state" && find . | cpio -o -H newc -R 0:0 --quiet | gzip -1) >"$work/state.cpio.gz"
  cat "$work/initrd.gz" "$work/state.cpio.gz" >"$work/initrd-next.gz"
  mcopy -o -i "$esp" "$work/initrd-next.gz" ::/initrd.gz
}
# The attributes of a verify report, one line each: "NAME STATUS (requested R, now C)".
verdicts() { # REPORT
  "$python" -c 'import json, sys
for a in json.load(open(sys.argv[1]))["Attributes"]:
    print("%s %s (requested %s, now %s)" % (a["AttributeName"], a["Status"], json.dumps(a.get("RequestedValue")),
                                           json.dumps(a.get("CurrentValue"))))' "$1" 2>/dev/null
}
check() { # WHAT CONDITION...
  local what=$1
  shift
  if "$@"; then echo "realfw-test: ok $what"; else echo "realfw-test: FAIL $what"; failed=1; fi
}

boot 1
r1=$work/results1
# The HII dump is byte for byte the driver's snapshot: its size and CRC-32 are the ones the
# driver printed, and the export's checksum line names the same CRC.
snapshot=$(grep -a 'kestrel-mailbox: HII snapshot' "$work/boot1.log" | tail -1 | tr -d '\r')
snap_size=$(sed -n 's/.*snapshot \([0-9]*\) bytes.*/\1/p' <<<"$snapshot")
snap_crc=$(sed -n 's/.*CRC32 \([0-9a-fA-F]*\).*/\1/p' <<<"$snapshot")
dump_crc=$(gzip -c "$r1/hii1.bin" 2>/dev/null | tail -c 8 | head -c 4 | od -An -tx4 | tr -d ' ')
script_crc=$(sed -n 's/^HIICrc32= \([0-9A-Fa-f]*\).*/\1/p' "$r1/setup1.txt" 2>/dev/null | head -1)
echo "realfw-test: driver snapshot ${snap_size:-?} bytes CRC32 ${snap_crc:-?}; /h dump $(stat -c %s "$r1/hii1.bin" 2>/dev/null || echo ?) bytes CRC32 ${dump_crc:-?}; script HIICrc32= ${script_crc:-?}"
check "the HII dump is the driver's snapshot" test -n "$snap_crc" -a "$(stat -c %s "$r1/hii1.bin" 2>/dev/null)" = "$snap_size" \
  -a "$((16#${dump_crc:-1}))" = "$((16#${snap_crc:-0}))"
check "the export's HIICrc32 line names the snapshot's CRC" test "$((16#${script_crc:-1}))" = "$((16#${snap_crc:-0}))"
check "OVMF's own form sets are exported" grep -q "Setup Question" "$r1/setup1.txt"
# The registry the guest's kestrel-attrs wrote, validated as the kestrel-attrs tests validate
# theirs: DMTF's schemas (tests/data/redfish, as published) with Debian's python3-jsonschema.
python=python3
[ -x /usr/bin/python3 ] && python=/usr/bin/python3
check "the live registry validates against DMTF's AttributeRegistry schema" \
  "$python" tests/companions/attrs/validate_redfish.py tests/data/redfish AttributeRegistry.v1_4_0.json "$r1/registry.json"

carry_journal "$r1"

boot 2
r2=$work/results2
check "the edited value survived the reset (ChipsetSetup byte 0x13 = 5)" test "$(cat "$r2/chipset-byte.txt" 2>/dev/null)" = 5
check "the export after the reset shows the edited value" \
  awk '/^Setup Question	= PCI Segment Count/ { q = 1 } q && /^Value	=/ { exit !/<5>/ }' "$r2/setup2.txt"
expected=$(cat "$r1/expected-bootorder.txt" 2>/dev/null || echo "?")
check "efibootmgr after the reset reports the imported boot order $expected" \
  grep -q "^BootOrder: $expected\$" "$r2/efibootmgr2.out"
# The driver's platform policy (the lane's stand-in for POST) clamped the watchdog timeout that
# kestrel-attrs set, and verify says so.
check "the platform policy clamped Watchdog Timeout (s) from 3000 to 1800 at the reset" \
  grep -aq "platform policy: Watchdog Timeout (s) 3000 clamped to 1800" "$work/boot2.log"
verdicts "$r2/journal-verify2.out" | sed 's/^/realfw-test: verify after the reset: /'
check "verify after the reset: SB002 applied, SB011 adjusted to 1800" test "$(verdicts "$r2/journal-verify2.out")" = \
  "$(printf '%s\n' 'SB002 applied (requested "Disabled", now "Disabled")' 'SB011 adjusted (requested 3000, now 1800)')"
carry_journal "$r2"

boot 3
r3=$work/results3
check "the export after the second reset shows Wake on LAN Enabled again" \
  awk '/^Setup Question	= Wake on LAN/ { q = 1 } q && /\*\[/ { exit !/\*\[01\]Enabled/ }' "$r3/setup3.txt"
check "the export after the second reset shows Watchdog Timeout (s) 600 again" \
  awk '/^Setup Question	= Watchdog Timeout/ { q = 1 } q && /^Value	=/ { exit !/<600>/ }' "$r3/setup3.txt"
check "the platform policy left the restored timeout alone" sh -c "! grep -aq 'platform policy' '$work/boot3.log'"
verdicts "$r3/journal-verify3.out" | sed 's/^/realfw-test: verify of the rollback after the second reset: /'

if [ "$failed" -ne 0 ]; then
  echo "realfw-test: FAILED; serial logs and results kept in $work" >&2
  exit 1
fi
rm -f "$work"/boot*.log "$work"/boot*.data
echo "realfw-test: passed"
