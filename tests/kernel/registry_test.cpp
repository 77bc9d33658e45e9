// Registry, counted strings, pool accounting and faults, and the PnP harness.
#include <gtest/gtest.h>

#include "tests/kernel/test_driver.h"

namespace {

UNICODE_STRING U(const char16_t* text) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

TEST(Registry, QueryValueKeyReportsOverflowAndSizeAsWindowsDoes) {
    struct Row {
        ULONG length;
        NTSTATUS status;
        ULONG copied;  // data bytes placed
    };
    // "9600" as REG_SZ is 10 bytes; the partial-information header is 12.
    const Row rows[] = {
        {8, STATUS_BUFFER_TOO_SMALL, 0},
        {12, STATUS_BUFFER_OVERFLOW, 0},
        {16, STATUS_BUFFER_OVERFLOW, 4},
        {22, STATUS_SUCCESS, 10},
        {64, STATUS_SUCCESS, 10},
    };
    for (const Row& row : rows) {
        auto r = sim::RunScenario({}, [&] {
            auto& reg = sim::Simulation::Current().registry();
            reg.SetString("\\Registry\\Machine\\Test", "InitialBaudRate", "9600");
            OBJECT_ATTRIBUTES attributes;
            UNICODE_STRING path = U(u"\\Registry\\Machine\\TEST");
            InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
            HANDLE key;
            SIM_CHECK(NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes)));
            UCHAR buffer[64];
            memset(buffer, 0xEE, sizeof buffer);
            ULONG needed = 0;
            UNICODE_STRING name = U(u"initialbaudrate");
            NTSTATUS status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer,
                                              row.length, &needed);
            SIM_CHECK(status == row.status);
            SIM_CHECK(needed == 22);
            auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
            if (row.length >= 12) SIM_CHECK(info->DataLength == 10 && info->Type == REG_SZ);
            SIM_CHECK(buffer[12 + row.copied] == 0xEE || 12 + row.copied >= row.length);
            ZwClose(key);
        });
        ASSERT_TRUE(r.ok) << "length " << row.length << "\n" << r.Report();
    }
}

// A value is read only through a handle opened with KEY_QUERY_VALUE and
// written or deleted only through one opened with KEY_SET_VALUE; generic
// rights count as the key type maps them. Any other use stops the run.
TEST(Registry, EachValueCallNeedsTheAccessItsHandleWasOpenedWith) {
    enum Call { kQuery, kSet, kDelete };
    struct Row {
        ACCESS_MASK access;
        Call call;
        bool allowed;
    };
    const Row rows[] = {
        {STANDARD_RIGHTS_READ, kQuery, false}, {STANDARD_RIGHTS_READ, kSet, false},
        {KEY_READ, kQuery, true},              {KEY_READ, kSet, false},
        {KEY_READ, kDelete, false},            {KEY_WRITE, kQuery, false},
        {KEY_WRITE, kSet, true},               {KEY_WRITE, kDelete, true},
        {0x80000000u /* GENERIC_READ */, kQuery, true},
        {0x40000000u /* GENERIC_WRITE */, kSet, true},
        {0x02000000u /* MAXIMUM_ALLOWED */, kDelete, true},
        {KEY_QUERY_VALUE | KEY_SET_VALUE, kSet, true},
    };
    for (const Row& row : rows) {
        auto r = sim::RunScenario({}, [&] {
            sim::Simulation::Current().registry().SetString("\\Registry\\Machine\\Test", "v", "1");
            OBJECT_ATTRIBUTES attributes;
            UNICODE_STRING path = U(u"\\Registry\\Machine\\Test");
            InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
            HANDLE key;
            SIM_CHECK(NT_SUCCESS(ZwOpenKey(&key, row.access, &attributes)));
            UNICODE_STRING name = U(u"v");
            UCHAR buffer[32];
            ULONG needed;
            WCHAR data[] = u"2";
            NTSTATUS status =
                row.call == kQuery ? ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer,
                                                     sizeof buffer, &needed)
                : row.call == kSet ? ZwSetValueKey(key, &name, 0, REG_SZ, data, sizeof data)
                                   : ZwDeleteValueKey(key, &name);
            SIM_CHECK(NT_SUCCESS(status));
            ZwClose(key);
        });
        std::string what = "access " + std::to_string(row.access) + " call " +
                           std::to_string(row.call) + "\n" + r.Report();
        if (row.allowed) {
            EXPECT_TRUE(r.ok) << what;
            continue;
        }
        ASSERT_TRUE(r.bugCheck.has_value()) << what;
        EXPECT_EQ(r.Rule(), "registry-access-denied") << what;
        EXPECT_NE(r.bugCheck->detail.find(row.call == kQuery ? "KEY_QUERY_VALUE" : "KEY_SET_VALUE"),
                  std::string::npos)
            << what;
    }
}

TEST(Registry, MissingKeysAndValuesAndInjectedFailures) {
    auto r = sim::RunScenario({}, [] {
        OBJECT_ATTRIBUTES attributes;
        UNICODE_STRING path = U(u"\\Registry\\Machine\\Nowhere");
        InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        HANDLE key;
        SIM_CHECK(ZwOpenKey(&key, KEY_READ, &attributes) == STATUS_OBJECT_NAME_NOT_FOUND);
        auto& s = sim::Simulation::Current();
        UNICODE_STRING ports = U(u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Ports");
        InitializeObjectAttributes(&attributes, &ports, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        s.faults().FailCall("ZwOpenKey", STATUS_ACCESS_DENIED, 2);
        SIM_CHECK(NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes)));
        ZwClose(key);
        SIM_CHECK(ZwOpenKey(&key, KEY_READ, &attributes) == STATUS_ACCESS_DENIED);
        SIM_CHECK(NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes)));
        UNICODE_STRING missing = U(u"COM9:");
        UCHAR buffer[32];
        ULONG needed;
        SIM_CHECK(ZwQueryValueKey(key, &missing, KeyValuePartialInformation, buffer, sizeof buffer,
                                  &needed) == STATUS_OBJECT_NAME_NOT_FOUND);
        ZwClose(key);
        SIM_CHECK_EQ(s.faults().Calls("ZwOpenKey"), 4);
        SIM_CHECK(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\Serial9") ==
                  STATUS_OBJECT_NAME_NOT_FOUND);
    });
    ASSERT_TRUE(r.ok) << r.Report();
}

TEST(Registry, DumpIsRegedit4WithEscapedNamesAndTypedValues) {
    std::string dump;
    auto r = sim::RunScenario({}, [&] {
        const char16_t data[] = u"COM5";
        RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\Serial2", REG_SZ,
                              const_cast<char16_t*>(data), sizeof data);
        ULONG dword = 0x1C200;
        RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"Rate", REG_DWORD, &dword,
                              sizeof dword);
        UCHAR odd[3] = {1, 2, 3};
        RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"Odd", REG_SZ, odd, 3);
        dump = sim::Simulation::Current().registry().Dump(std::string(sim::kDeviceMapPath) +
                                                         "\\SERIALCOMM");
    });
    ASSERT_TRUE(r.ok) << r.Report();
    EXPECT_EQ(dump,
              "REGEDIT4\n\n"
              "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n"
              "\"\\\\Device\\\\Serial2\"=\"COM5\"\n"
              "\"Rate\"=dword:0001c200\n"
              "\"Odd\"=hex(1):01,02,03\n");
}

TEST(CountedStrings, LengthsTerminatorsAndOverflow) {
    auto r = sim::RunScenario({}, [] {
        WCHAR storage[20];
        UNICODE_STRING s;
        s.Buffer = storage;
        s.Length = 0;
        s.MaximumLength = sizeof storage;
        SIM_CHECK(NT_SUCCESS(RtlAppendUnicodeToString(&s, u"\\Device\\Serial")));
        WCHAR digits[4];
        UNICODE_STRING number{0, sizeof digits, digits};
        SIM_CHECK(NT_SUCCESS(RtlIntegerToUnicodeString(2, 10, &number)));
        SIM_CHECK(number.Length == 2 && digits[0] == u'2' && digits[1] == 0);
        SIM_CHECK(NT_SUCCESS(RtlAppendUnicodeStringToString(&s, &number)));
        SIM_CHECK(s.Length == 30 && storage[15] == 0);
        SIM_CHECK(sim::Narrow(s) == "\\Device\\Serial2");
        SIM_CHECK(RtlAppendUnicodeToString(&s, u"123456") == STATUS_BUFFER_TOO_SMALL);
        SIM_CHECK(s.Length == 30);
        UNICODE_STRING small{0, 4, digits};
        SIM_CHECK(RtlIntegerToUnicodeString(12345, 10, &small) == STATUS_BUFFER_OVERFLOW);
        UNICODE_STRING a = U(u"COM5"), b = U(u"com5");
        SIM_CHECK(RtlEqualUnicodeString(&a, &b, TRUE) && !RtlEqualUnicodeString(&a, &b, FALSE));
        WCHAR copy[3];
        UNICODE_STRING dst{0, sizeof copy, copy};
        RtlCopyUnicodeString(&dst, &a);  // truncated to the room there is, no terminator
        SIM_CHECK(dst.Length == 6 && copy[2] == u'M');
        sim::Simulation::Current().faults().FailCall("RtlAppendUnicodeToString",
                                                     STATUS_INSUFFICIENT_RESOURCES);
        s.Length = 0;
        SIM_CHECK(RtlAppendUnicodeToString(&s, u"x") == STATUS_INSUFFICIENT_RESOURCES);
        SIM_CHECK(s.Length == 0);
    });
    ASSERT_TRUE(r.ok) << r.Report();
}

TEST(Pool, AccountingByTagAndInjectedFailures) {
    auto r = sim::RunScenario({}, [] {
        auto& pool = sim::Simulation::Current().pool();
        PVOID a = ExAllocatePoolWithTag(NonPagedPoolNx, 100, ' mdW');
        PVOID b = ExAllocatePoolWithTag(PagedPool, 20, ' mdW');
        SIM_CHECK_EQ(pool.LiveCount(' mdW'), 2);
        SIM_CHECK_EQ(pool.LiveBytes(' mdW'), 120);
        SIM_CHECK(static_cast<UCHAR*>(a)[0] == 0xCD);  // pool is not zeroed
        pool.FailNth(2);
        PVOID c = ExAllocatePoolWithTag(NonPagedPoolNx, 1, 'xxxx');
        PVOID d = ExAllocatePoolWithTag(NonPagedPoolNx, 1, 'xxxx');
        SIM_CHECK(c != nullptr && d == nullptr);
        ExFreePoolWithTag(a, ' mdW');
        ExFreePool(b);
        ExFreePool(c);
        SIM_CHECK(pool.LiveCountAll() == 0);
        pool.FailByChance(1.0);
        SIM_CHECK(ExAllocatePoolWithTag(NonPagedPoolNx, 1, 'xxxx') == nullptr);
        pool.ClearFaults();
    });
    ASSERT_TRUE(r.ok) << r.Report();
}

// ---------------------------------------------------------------- PnP harness

NTSTATUS gStartSeenStatus;
NTSTATUS TestAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN,
                                     0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    *static_cast<PDEVICE_OBJECT*>(fdo->DeviceExtension) = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS TestPnp(PDEVICE_OBJECT fdo, PIRP irp) {
    PDEVICE_OBJECT lower = *static_cast<PDEVICE_OBJECT*>(fdo->DeviceExtension);
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (minor == IRP_MN_START_DEVICE) gStartSeenStatus = irp->IoStatus.Status;
    if (minor == IRP_MN_REMOVE_DEVICE) {
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IofCallDriver(lower, irp);
        IoDetachDevice(lower);
        IoDeleteDevice(fdo);
        return status;
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(lower, irp);
}

NTSTATUS TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverExtension->AddDevice = TestAddDevice;
    driver->MajorFunction[IRP_MJ_PNP] = TestPnp;
    return STATUS_SUCCESS;
}

TEST(PnpHarness, ClassInstallerGivesFirstFreeComNameKeptPerInstance) {
    std::vector<std::string> names;
    auto r = sim::RunScenario({}, [&] {
        auto& s = sim::Simulation::Current();
        auto bus = sim::MakeMinimalBus();
        PDRIVER_OBJECT driver = s.pnp().LoadDriver("testfdo", TestDriverEntry);
        gStartSeenStatus = 0;
        NTSTATUS status;
        sim::DeviceNode* a = s.pnp().PlugIn(*bus, "USB\\X\\1", driver, &status);
        SIM_CHECK(status == STATUS_SUCCESS && a->started);
        SIM_CHECK(gStartSeenStatus == STATUS_NOT_SUPPORTED);  // PnP IRPs start that way
        sim::DeviceNode* b = s.pnp().PlugIn(*bus, "USB\\X\\2", driver, &status);
        names.push_back(a->portName);
        names.push_back(b->portName);
        s.pnp().Unplug(a);
        sim::DeviceNode* again = s.pnp().PlugIn(*bus, "USB\\X\\1", driver, &status);
        names.push_back(again->portName);
        DEVICE_CAPABILITIES caps;
        SIM_CHECK(NT_SUCCESS(s.pnp().SendPnp(again, IRP_MN_QUERY_CAPABILITIES, &caps)));
        SIM_CHECK(caps.DeviceState[PowerSystemSleeping1] == PowerDeviceD3);
        s.pnp().Unplug(again);
        s.pnp().Unplug(b);
    });
    ASSERT_TRUE(r.ok) << r.Report();
    EXPECT_EQ(names, (std::vector<std::string>{"COM3", "COM4", "COM3"}));
}

TEST(PnpHarness, RequestedPowerIrpReachesTheStackAndCallsBack) {
    static int callbacks;
    static NTSTATUS callbackStatus;
    callbacks = 0;
    auto r = sim::RunScenario({}, [] {
        auto& s = sim::Simulation::Current();
        auto bus = sim::MakeMinimalBus();
        PDRIVER_OBJECT driver = s.pnp().LoadDriver("testfdo", TestDriverEntry);
        driver->MajorFunction[IRP_MJ_POWER] = [](PDEVICE_OBJECT fdo, PIRP irp) {
            PoStartNextPowerIrp(irp);
            IoSkipCurrentIrpStackLocation(irp);
            return PoCallDriver(*static_cast<PDEVICE_OBJECT*>(fdo->DeviceExtension), irp);
        };
        sim::DeviceNode* node = s.pnp().PlugIn(*bus, "USB\\X\\1", driver);
        POWER_STATE state;
        state.DeviceState = PowerDeviceD3;
        NTSTATUS status = PoRequestPowerIrp(
            node->pdo, IRP_MN_SET_POWER, state,
            [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID, PIO_STATUS_BLOCK io) {
                callbacks++;
                callbackStatus = io->Status;
            },
            nullptr, nullptr);
        SIM_CHECK(status == STATUS_PENDING);
        testdrv::Sleep100ns(10);
        s.pnp().Unplug(node);
    });
    ASSERT_TRUE(r.ok) << r.Report();
    EXPECT_EQ(callbacks, 1);
    EXPECT_EQ(callbackStatus, STATUS_SUCCESS);
}

TEST(UserIo, OverlappedWaitTimesOutThenCancelCompletesTheRequest) {
    NTSTATUS first = 0, afterCancel = 0;
    auto r = sim::RunScenario({}, [&] {
        testdrv::Device d = testdrv::MakeDevice();
        testdrv::AcceptOpenAndClose(d.driver);
        d.driver->MajorFunction[IRP_MJ_READ] = [](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP cancelled) {
                IoReleaseCancelSpinLock(cancelled->CancelIrql);
                testdrv::Complete(cancelled, STATUS_CANCELLED);
            });
            return STATUS_PENDING;
        };
        auto& io = sim::Simulation::Current().io();
        sim::Handle h = io.Open("\\\\.\\Test");
        char buffer[4];
        sim::Overlapped ov;
        SIM_CHECK(io.ReadAsync(h, buffer, 4, &ov) == STATUS_PENDING);
        first = io.Wait(&ov, 1000);
        io.CancelIo(h);
        afterCancel = io.Wait(&ov);
        io.Close(h);
        testdrv::DeleteDevice(d);
    });
    ASSERT_TRUE(r.ok) << r.Report();
    EXPECT_EQ(first, STATUS_TIMEOUT);
    EXPECT_EQ(afterCancel, STATUS_CANCELLED);
    EXPECT_EQ(r.virtualTime, 1000u);
}

}  // namespace
