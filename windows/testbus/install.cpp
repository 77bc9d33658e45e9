// install.cpp - installs the test bus and stages the function driver, the
// way Windows' device installation tools do it:
//
//   bridgetestbus_install BUS_INF [DRIVER_INF]
//
// DRIVER_INF (bridgeser.inf) is added to the driver store first
// (SetupCopyOEMInf, as pnputil /add-driver does), so that Plug and Play
// finds it when the bus reports its child. Then the root-enumerated bus
// device is created (SetupDiCreateDeviceInfo with the hardware ID
// Root\BridgeTestBus, DIF_REGISTERDEVICE) and its driver installed from
// BUS_INF (UpdateDriverForPlugAndPlayDevices, as devcon install does).
// Exit status 0 on success; each failing step is named with its error.
#include <windows.h>
#include <setupapi.h>
#include <newdev.h>

#include <stdio.h>
#include <wchar.h>

namespace {

const GUID kSystemClass = {0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const wchar_t kBusHardwareId[] = L"Root\\BridgeTestBus\0";  // a multi-string

int Fail(const char* step) {
    printf("install: %s failed, error %lu\n", step, (unsigned long)GetLastError());
    return 1;
}

bool FullPath(const char* path, wchar_t* out, DWORD size) {
    wchar_t wide[MAX_PATH];
    if (!MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH)) return false;
    return GetFullPathNameW(wide, size, out, NULL) != 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        printf("usage: bridgetestbus_install BUS_INF [DRIVER_INF]\n");
        return 2;
    }
    wchar_t busInf[MAX_PATH];
    if (!FullPath(argv[1], busInf, MAX_PATH)) return Fail("GetFullPathName");

    if (argc == 3) {
        wchar_t driverInf[MAX_PATH], staged[MAX_PATH];
        if (!FullPath(argv[2], driverInf, MAX_PATH)) return Fail("GetFullPathName");
        if (!SetupCopyOEMInfW(driverInf, NULL, SPOST_PATH, 0, staged, MAX_PATH, NULL, NULL)) {
            return Fail("SetupCopyOEMInf");
        }
        printf("install: driver INF staged as %ls\n", staged);
    }

    HDEVINFO set = SetupDiCreateDeviceInfoList(&kSystemClass, NULL);
    if (set == INVALID_HANDLE_VALUE) return Fail("SetupDiCreateDeviceInfoList");
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    int result = 0;
    if (!SetupDiCreateDeviceInfoW(set, L"System", &kSystemClass, NULL, NULL, DICD_GENERATE_ID, &device)) {
        result = Fail("SetupDiCreateDeviceInfo");
    } else if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                                  reinterpret_cast<const BYTE*>(kBusHardwareId),
                                                  sizeof kBusHardwareId)) {
        result = Fail("SetupDiSetDeviceRegistryProperty");
    } else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
        result = Fail("SetupDiCallClassInstaller(DIF_REGISTERDEVICE)");
    }
    SetupDiDestroyDeviceInfoList(set);
    if (result) return result;

    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(NULL, kBusHardwareId, busInf, INSTALLFLAG_FORCE, &reboot)) {
        return Fail("UpdateDriverForPlugAndPlayDevices");
    }
    printf("install: test bus installed%s\n", reboot ? " (restart required)" : "");
    return 0;
}
