#!/bin/sh
# wine_rig.sh - runs the real bridgeser.sys under Wine's NT kernel, above the
# test bus, in a fresh headless Wine prefix.
#
#   wine_rig.sh setup    RIG_DIR PACKAGE_DIR   fresh prefix; install the test
#                                              bus and the driver; check what
#                                              Wine's setup installed
#   wine_rig.sh suite    RIG_DIR COMn          the serial API suite
#                                              (tests/win32/serial_suite.cpp)
#                                              against COMn and its loopback plug
#   wine_rig.sh run      RIG_DIR COMn          the cable test against COMn (it
#                                              ends by pulling the cable out)
#   wine_rig.sh teardown RIG_DIR               stop the prefix's wineserver
#
# PACKAGE_DIR holds bridgeser.inf, x64/bridgeser.sys, the test bus
# (testbus/bridgetestbus.inf and .sys) and the Win32 programs (installer,
# cable test, serial suite). Logs stay in
# RIG_DIR; every wine command has a time limit and reads nothing.
# Exit status 77 (skipped) when wine is not installed.
set -u
command=$1
rig=$2
prefix=$rig/prefix
drive=$prefix/drive_c/bridgeser

export WINEPREFIX="$prefix" WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all
WINE=$(command -v wine64 || command -v wine || true)
WINESERVER=$(command -v wineserver || true)
if [ -z "$WINE" ] || [ -z "$WINESERVER" ]; then
  echo "wine not found: the Wine rig is skipped"
  exit 77
fi

say() { printf '%s\n' "$*"; }

fail() {
  say "FAIL: $*"
  for log in "$rig"/*.log; do
    [ -s "$log" ] || continue
    echo "---- $log (last 40 lines)"
    tail -n 40 "$log"
  done
  exit 1
}

# A registry value as `reg query` prints it: "NAME TYPE DATA" or nothing.
reg_value() {
  timeout 30 "$WINE" reg query "$1" /v "$2" </dev/null 2>/dev/null | tr -d '\r' |
    tr -d '\000' | awk -v name="$2" 'tolower($1) == tolower(name) { $1 = ""; sub(/^ +/, ""); print }'
}

case "$command" in
setup)
  package=$3
  "$WINESERVER" -k >/dev/null 2>&1
  timeout 30 "$WINESERVER" -w >/dev/null 2>&1
  rm -rf "$rig"
  mkdir -p "$rig"
  timeout 120 "$WINE" wineboot --init </dev/null >"$rig/boot.log" 2>&1 || fail "wineboot --init"
  timeout 60 "$WINESERVER" -w || fail "the prefix's first session did not end"
  # A persistent server keeps the service host (winedevice) and the loaded
  # drivers up between the programs of the rig.
  "$WINESERVER" -p >/dev/null 2>&1 </dev/null
  mkdir -p "$drive/x64"
  # Wine's setup would register the catalog an INF names and checks no
  # signature: the rig installs the INFs without that line. Wine has no
  # Ports class installer to give the port a COM name from the COM port
  # database, and the shipped INF names none: the rig's copy gives the
  # x64 install a hardware-key section that writes PortName = COM7, as the
  # class installer writes it on Windows.
  { sed '/^CatalogFile/d' "$package/bridgeser.inf" &&
      printf '%s\r\n' '' '; Wine rig only: the COM name the Ports class installer would assign.' \
        '[BridgeSer_Install.NTamd64.HW]' 'AddReg = Rig_PortName' '' '[Rig_PortName]' 'HKR,,PortName,,"COM7"'
  } >"$drive/bridgeser.inf" &&
    sed '/^CatalogFile/d' "$package/testbus/bridgetestbus.inf" >"$drive/bridgetestbus.inf" &&
    cp "$package/x64/bridgeser.sys" "$drive/x64/" &&
    # Wine's setup reads the undecorated [SourceDisksFiles] only, so it
    # looks for the image at the root of the source, not in x64\ as
    # [SourceDisksFiles.amd64] says: the x64 image goes there too.
    cp "$package/x64/bridgeser.sys" "$drive/" &&
    cp "$package/testbus/bridgetestbus.sys" "$drive/" &&
    cp "$package/bridgetestbus_install.exe" "$package/cable_test.exe" "$package/serial_suite.exe" "$drive/" ||
    fail "copy of the package"
  # The installer is the first program of the session: services.exe and
  # winedevice.exe start with it and write the drivers' debug output to
  # wine.log.
  WINEDEBUG=warn+debugstr timeout 120 "$WINE" 'C:\bridgeser\bridgetestbus_install.exe' \
    'C:\bridgeser\bridgetestbus.inf' 'C:\bridgeser\bridgeser.inf' </dev/null >"$rig/install.log" 2>"$rig/wine.log" ||
    fail "installer"
  cat "$rig/install.log"

  # Plug and Play finds the child, matches bridgeser.inf, copies the image
  # to the INF's destination (DIRID 13, the driver store, in its x64
  # subdirectory; Wine 8 does not know DIRID 13 and puts it under
  # system32\unknown, for the copy and the service alike), adds the service
  # and starts the device.
  service='HKLM\System\CurrentControlSet\Services\bridgeser'
  image=
  for _ in $(seq 1 150); do
    path=$(reg_value "$service" ImagePath | awk '{print $NF}')
    image=$prefix/drive_c$(printf '%s' "${path#?:}" | tr '\\' /)
    [ -n "$path" ] && [ -f "$image" ] && break
    sleep 0.2
  done
  say "service: Type $(reg_value "$service" Type), ImagePath $path"
  case "$path" in
  *\\x64\\bridgeser.sys) ;;
  *) fail "the service's image is not in the x64 subdirectory of its destination" ;;
  esac
  cmp -s "$image" "$package/x64/bridgeser.sys" || fail "bridgeser.sys not copied where the service loads it from"
  say "ok: bridgeser.sys copied to $path"
  reg_value "$service" Type | grep -q '0x1$' || fail "the bridgeser service is not a kernel driver"
  instance='HKLM\System\CurrentControlSet\Enum\USB\VID_1A2B&PID_0001\1'
  class=$(reg_value "$instance" Class)
  service_of=$(reg_value "$instance" Service)
  say "device $instance: Class $class, Service $service_of"
  say "$class" | grep -qi 'Ports$' || fail "the cable's device is not in the Ports class"
  say "$service_of" | grep -qi 'bridgeser$' || fail "the cable's device is not served by bridgeser"
  port=$(reg_value "$instance\\Device Parameters" PortName)
  say "PortName: $port"
  say "$port" | grep -q 'COM7$' || fail "the rig's PortName is not in the hardware key"
  driver=$(reg_value "$instance" Driver | awk '{print $NF}')
  pages=$(reg_value "HKLM\\System\\CurrentControlSet\\Control\\Class\\$driver" EnumPropPages32)
  say "driver key $driver: EnumPropPages32 $pages"
  say "$pages" | grep -qi 'MsPorts.dll,SerialPortPropPageProvider' || fail "no port-property page in the driver key"
  echo "setup passed"
  ;;
run | suite)
  port=$3
  program=cable_test
  [ "$command" = suite ] && program=serial_suite
  [ -d "$prefix" ] || fail "no prefix: run setup first"
  timeout 120 "$WINE" "C:\\bridgeser\\$program.exe" "$port" </dev/null >"$rig/$program.log" 2>&1
  status=$?
  tr -d '\r' <"$rig/$program.log"
  [ $status -eq 0 ] || fail "$program exit status $status"
  ;;
teardown)
  if [ -d "$prefix" ]; then
    "$WINESERVER" -k >/dev/null 2>&1
    "$WINESERVER" -w >/dev/null 2>&1
    rm -rf "$prefix"
  fi
  echo "prefix stopped and removed"
  ;;
*)
  echo "usage: wine_rig.sh setup|suite|run|teardown RIG_DIR ..." >&2
  exit 2
  ;;
esac
