#!/usr/bin/env bash
# The tool on real EDK2 firmware: boots Debian's OVMF and Debian's kernel (unpacked from the
# archive, not installed) under QEMU (TCG) on one persistent copy of the variable store: first
# the UEFI shell's startup.nsh makes the mailbox driver a Driver#### load option, then two boots
# of the kernel run
# scripts/realfw-guest.sh inside: export with the HII dump, an edited value and a reordered boot
# order imported, raw mode, a refused import; after the reset, the values are read back.
#
#   scripts/realfw-test.sh            exit 0: passed, 1: failed, 77: skipped (reason printed)
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
ovmf_code=$cache/root/usr/share/OVMF/OVMF_CODE_4M.fd
ovmf_vars=$cache/root/usr/share/OVMF/OVMF_VARS_4M.fd
vmlinuz=$(ls "$cache"/root/boot/vmlinuz-* | head -1)
efivarfs_ko=$(ls "$cache"/root/lib/modules/*/kernel/fs/efivarfs/efivarfs.ko | head -1)
for f in "$ovmf_code" "$ovmf_vars" "$vmlinuz" "$efivarfs_ko"; do [ -f "$f" ] || die "missing $f"; done

# The tool, statically linked for the guest, and the driver.
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTREL_TESTS=OFF -DKESTREL_EMULATOR=OFF \
  -DCMAKE_EXE_LINKER_FLAGS=-static "${launcher[@]}" >/dev/null
mkdir -p "$cache"
cmake --build "$build" -j"$(nproc)" --target KESLNX_64 kestrel-mailbox-driver >"$cache/build.log" 2>&1 ||
  { cat "$cache/build.log" >&2; die "the build failed"; }
driver=$build/tools/mailbox-driver/kestrel-mailbox.efi
[ -f "$driver" ] || die "the driver was not built (is gnu-efi installed?)"

rm -rf "$work"
mkdir -p "$work"

# The initramfs: static busybox, the tool, efibootmgr with its libraries, efivarfs, the checks.
root=$work/initramfs
mkdir -p "$root"/{bin,dev,proc,sys,tmp,r}
cp /bin/busybox "$root/bin/busybox"
cp "$build/KESLNX_64" "$root/bin/KESLNX_64"
cp "$efivarfs_ko" "$root/efivarfs.ko"
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
phase=$(sed -n 's/.*kestrel\.phase=\([0-9]\).*/\1/p' /proc/cmdline)
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
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz"

# The ESP: the kernel, the initramfs, the driver and the shell's startup.nsh (set per boot).
esp=$work/esp.img
size_kb=$(( ($(stat -c %s "$vmlinuz") + $(stat -c %s "$work/initrd.gz") + $(stat -c %s "$driver")) / 1024 + 8192 ))
mkfs.vfat -C -n KESTREL "$esp" "$size_kb" >/dev/null
mcopy -i "$esp" "$vmlinuz" ::/vmlinuz
mcopy -i "$esp" "$work/initrd.gz" ::/initrd.gz
mmd -i "$esp" ::/kestrel
mcopy -i "$esp" "$driver" ::/kestrel/mailbox.efi

cp "$ovmf_vars" "$work/vars.fd"
failed=0
qemu() { # PHASE
  local rc=0
  timeout "$boot_timeout" qemu-system-x86_64 -machine q35,accel=tcg -m 1024 -smp 1 -display none -no-reboot -nic none \
    -drive if=pflash,format=raw,unit=0,readonly=on,file="$ovmf_code" \
    -drive if=pflash,format=raw,unit=1,file="$work/vars.fd" \
    -drive if=virtio,format=raw,file="$esp" \
    -serial file:"$work/boot$1.log" -serial file:"$work/boot$1.data" </dev/null >"$work/qemu$1.out" 2>&1 || rc=$?
  [ "$rc" -eq 0 ] || echo "realfw-test: QEMU ended with status $rc (124: the boot took longer than ${boot_timeout}s)"
  # The guest's check lines and the driver's, without the firmware console's escape sequences.
  tr -d '\r' <"$work/boot$1.log" | sed 's/\x1b\[[0-9;=?]*[A-Za-z]//g' | grep -a '^realfw: \|^kestrel-mailbox:' || true
}
startup() { # the shell's commands, one per argument
  printf '%s\r\n' "$@" >"$work/startup.nsh"
  mcopy -o -i "$esp" "$work/startup.nsh" ::/startup.nsh
}
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

boot 2
r2=$work/results2
check "the edited value survived the reset (ChipsetSetup byte 0x13 = 5)" test "$(cat "$r2/chipset-byte.txt" 2>/dev/null)" = 5
check "the export after the reset shows the edited value" \
  awk '/^Setup Question	= PCI Segment Count/ { q = 1 } q && /^Value	=/ { exit !/<5>/ }' "$r2/setup2.txt"
expected=$(cat "$r1/expected-bootorder.txt" 2>/dev/null || echo "?")
check "efibootmgr after the reset reports the imported boot order $expected" \
  grep -q "^BootOrder: $expected\$" "$r2/efibootmgr2.out"

if [ "$failed" -ne 0 ]; then
  echo "realfw-test: FAILED; serial logs and results kept in $work" >&2
  exit 1
fi
rm -f "$work"/boot*.log "$work"/boot*.data
echo "realfw-test: passed"
