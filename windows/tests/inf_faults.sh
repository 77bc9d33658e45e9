#!/bin/sh
# inf_faults.sh - inf_check refuses each fault planted in a copy of the
# built INF, and passes the copy with none.
#
#   inf_faults.sh INF_CHECK INF VENDOR_ID PRODUCT_ID WORK_DIR
#
# Each row: a name and a sed program that plants one fault.
set -u
check=$1
inf=$2
vid=$3
pid=$4
work=$5
mkdir -p "$work"
failures=0
while IFS='|' read -r name program; do
  [ -z "$name" ] && continue
  copy=$work/$name.inf
  sed "$program" "$inf" >"$copy"
  "$check" "$copy" "$vid" "$pid" >"$work/$name.log" 2>&1
  status=$?
  if [ "$name" = none ]; then [ $status -eq 0 ] && verdict=ok || verdict=FAIL
  else
    # a planted fault must change the INF and be refused
    if ! cmp -s "$copy" "$inf" && [ $status -ne 0 ]; then verdict=ok; else verdict=FAIL; fi
  fi
  printf '%-4s %s\n' "$verdict" "$name"
  if [ $verdict = FAIL ]; then failures=$((failures + 1)); cat "$work/$name.log"; fi
done <<'TABLE'
none|p
system32_drivers_dirid|s/= 13,x64/= 12,x64/
subdir_not_the_source_one|s/= 13,x86/= 13,x64/
service_outside_the_store|s/%13%\\x64\\bridgeser.sys/%12%\\bridgeser.sys/
hard_coded_port_name|$a[BridgeSer_Install.NTamd64.HW]\r\nAddReg = PortName_AddReg\r\n[PortName_AddReg]\r\nHKR,,PortName,,"COM7"\r
driver_ver_not_stamped|s/^DriverVer .*/DriverVer   = @BRIDGESER_DRIVER_DATE@,@BRIDGESER_DRIVER_VERSION@\r/
x86_model_without_the_cable|/^\[BridgeSer.NTx86\]/,/^\[/{/USB\\VID/d}
no_amd64_install_section|s/^\[BridgeSer_Install.NTamd64\]/[BridgeSer_Install.NT]/
TABLE
[ $failures -eq 0 ] && echo "inf_faults: every fault refused" || echo "inf_faults: $failures row(s) wrong"
[ $failures -eq 0 ]
