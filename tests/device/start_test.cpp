// Device start: the start request's trip down the stack, the configuration
// descriptor read with its one reset-and-retry, configuration selection, the
// serial defaults, the communication properties and chip initialisation.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/driver/usb_test_bus.h"

namespace {

using bridgetest::Answer;
using bridgetest::DriverPool;
using bridgetest::Fail;
using bridgetest::Machine;
using bridgetest::RunClean;
using bridgetest::UsbRequest;
using bridgetest::UsbTestBus;
using Kind = UsbRequest::Kind;

constexpr const char* kInstance = "USB\\VID_1A2B&PID_0001\\1";

// Plugs a cable in with the bus prepared by `setup`, runs `check` on the
// started (or failed) device, then unplugs it.
void WithStart(const std::function<void(UsbTestBus&)>& setup,
               const std::function<void(Machine&, sim::DeviceNode*, NTSTATUS)>& check) {
    RunClean([&] {
        Machine m;
        m.Load();
        setup(m.bus);
        NTSTATUS status = STATUS_PENDING;
        sim::DeviceNode* node = m.PlugIn(kInstance, &status);
        check(m, node, status);
        m.bus.decide = nullptr;
        sim::Simulation::Current().pnp().Unplug(node);
        SIM_CHECK(DriverPool() == 0);
    });
}

// A short name for each request the bus saw, in order.
std::vector<std::string> Trail(const UsbTestBus& bus) {
    std::vector<std::string> out;
    for (const UsbRequest& r : bus.requests) {
        if (r.kind == Kind::Pnp) {
            out.push_back(r.minor == IRP_MN_START_DEVICE ? "start" : "pnp");
        } else if (r.kind == Kind::ResetPort) {
            out.push_back("reset");
        } else if (r.kind == Kind::Urb) {
            switch (r.function) {
                case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
                    out.push_back("descriptor");
                    break;
                case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
                    out.push_back("clear");
                    break;
                case URB_FUNCTION_SELECT_CONFIGURATION:
                    out.push_back("select");
                    break;
                case URB_FUNCTION_VENDOR_DEVICE:
                    out.push_back(bridgetest::RegisterText(r));
                    break;
                default:
                    out.push_back("urb");
                    break;
            }
        }
    }
    return out;
}

const std::vector<std::string> kInitWrites = {"W2=08", "W1=08", "W8=00", "W11=00"};

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(StartDevice, GoesDownFirstThenConfiguresAndInitialisesTheChip) {
    WithStart([](UsbTestBus&) {},
              [](Machine& m, sim::DeviceNode* node, NTSTATUS status) {
                  SIM_CHECK(status == STATUS_SUCCESS);
                  SIM_CHECK(Trail(m.bus) == Concat({"start", "descriptor", "select"}, kInitWrites));
                  const UsbRequest& read = *m.bus.Urbs(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE)[0];
                  SIM_CHECK(read.descriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE);
                  SIM_CHECK(read.descriptorIndex == 0 && read.index == 0);
                  SIM_CHECK(read.transferLength == 265);
                  SIM_CHECK(read.headerLength == sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
                  const UsbRequest& select = *m.bus.Urbs(URB_FUNCTION_SELECT_CONFIGURATION)[0];
                  SIM_CHECK(select.maxTransferSizes == (std::vector<ULONG>{64, 64, 64}));
                  PortExtension* ext = Machine::Ext(node);
                  SIM_CHECK(ext->started && ext->configured && IsDeviceReady(node->top));
              });
}

// The lower driver holds the start for 20 ms: nothing goes to the device
// before it has completed the start.
TEST(StartDevice, WaitsForALowerDriverThatAnswersLater) {
    WithStart(
        [](UsbTestBus& bus) {
            bus.asynchronous = true;
            bus.answerDelay = 20 * 10'000;
        },
        [](Machine& m, sim::DeviceNode*, NTSTATUS status) {
            SIM_CHECK(status == STATUS_SUCCESS);
            SIM_CHECK(Trail(m.bus).size() == 7);
            SIM_CHECK(m.bus.requests[0].minor == IRP_MN_START_DEVICE);
            for (size_t i = 1; i < m.bus.requests.size(); ++i)
                SIM_CHECK(m.bus.requests[i].arrivedAt >= m.bus.requests[0].arrivedAt + 20 * 10'000);
        });
}

TEST(StartDevice, FailsWithTheLowerDriversStatusAndSendsNothing) {
    WithStart(
        [](UsbTestBus& bus) {
            bus.decide = [](const UsbRequest& r) {
                return r.kind == Kind::Pnp ? Fail(STATUS_UNSUCCESSFUL) : Answer{};
            };
        },
        [](Machine& m, sim::DeviceNode* node, NTSTATUS status) {
            SIM_CHECK(status == STATUS_UNSUCCESSFUL);
            SIM_CHECK(!Machine::Ext(node)->configured && !Machine::Ext(node)->started);
            SIM_CHECK(m.bus.Urbs(URB_FUNCTION_SELECT_CONFIGURATION).empty());
        });
}

TEST(StartDevice, SetsEveryDefault) {
    WithStart(
        [](UsbTestBus&) {},
        [](Machine&, sim::DeviceNode* node, NTSTATUS status) {
            SIM_CHECK(status == STATUS_SUCCESS);
            const PortExtension* e = Machine::Ext(node);
            SIM_CHECK(e->pipeState[0].pipeOpen == FALSE && e->pipeState[1].pipeOpen == FALSE &&
                      e->pipeState[2].pipeOpen == FALSE && e->openPipeCount == 0);
            SIM_CHECK(e->baudRate == 115200);
            SIM_CHECK(e->lineControl.WordLength == 8 && e->lineControl.Parity == NO_PARITY &&
                      e->lineControl.StopBits == STOP_BIT_1);
            SIM_CHECK(e->chars.EofChar == 0 && e->chars.ErrorChar == 0 && e->chars.BreakChar == 0 &&
                      e->chars.EventChar == 0);
            SIM_CHECK(e->chars.XonChar == 0x11 && e->chars.XoffChar == 0x13);
            SIM_CHECK(e->handFlow.ControlHandShake == 0x01 && e->handFlow.FlowReplace == 0x40);
            SIM_CHECK(e->handFlow.XonLimit == 4096 && e->handFlow.XoffLimit == 1024);
            SIM_CHECK(e->inQueueSize == 4096 && e->settableBaud == 0x1007FFFB);
            SIM_CHECK(e->writeQueuedBytes == 0 && e->eventHistory == 0 && e->waitMask == 0);
            SIM_CHECK(!e->statsEnabled && e->receivedCount == 0 && e->transmittedCount == 0);
            SIM_CHECK(!e->bulkInIrp && !e->bulkOutIrp && !e->statusIrp && !e->bulkInBusy &&
                      !e->bulkOutBusy && !e->statusBusy);
            SIM_CHECK(!e->readProgress.request && e->readProgress.done == 0 &&
                      !e->writeProgress.request && e->writeProgress.length == 0);
            SIM_CHECK(e->fifoControlShadow == 0x08 && e->interruptEnableShadow == 0x08);
        });
}

TEST(InitializeCommProperties, FillsTheRecordFieldByField) {
    WithStart([](UsbTestBus&) {},
              [](Machine&, sim::DeviceNode* node, NTSTATUS) {
                  const SERIAL_COMMPROP& p = Machine::Ext(node)->properties;
                  struct Field {
                      const char* name;
                      ULONG actual, expected;
                  };
                  const Field fields[] = {
                      {"PacketLength", p.PacketLength, 64},
                      {"PacketVersion", p.PacketVersion, 2},
                      {"ServiceMask", p.ServiceMask, 1},
                      {"Reserved1", p.Reserved1, 0},
                      {"MaxTxQueue", p.MaxTxQueue, 0},
                      {"MaxRxQueue", p.MaxRxQueue, 0},
                      {"MaxBaud", p.MaxBaud, 0x10000000},
                      {"ProvSubType", p.ProvSubType, 1},
                      {"ProvCapabilities", p.ProvCapabilities, 0xFF},
                      {"SettableParams", p.SettableParams, 0x7F},
                      {"SettableBaud", p.SettableBaud, 0x1007FFFB},
                      {"SettableData", p.SettableData, 0x000F},
                      {"SettableStopParity", p.SettableStopParity, 0x1F05},
                      {"CurrentTxQueue", p.CurrentTxQueue, 0},
                      {"CurrentRxQueue", p.CurrentRxQueue, 8192},
                      {"ProvSpec1", p.ProvSpec1, 0},
                      {"ProvSpec2", p.ProvSpec2, 0},
                      {"ProvChar", p.ProvChar[0], 0},
                  };
                  for (const Field& f : fields) {
                      if (f.actual != f.expected) {
                          sim::Simulation::Current().Fail(std::string("properties.") + f.name);
                      }
                  }
              });
}

TEST(StartDevice, KeepsACopyOfTheInterfaceWithThePipeHandles) {
    WithStart([](UsbTestBus&) {},
              [](Machine&, sim::DeviceNode* node, NTSTATUS) {
                  const USBD_INTERFACE_INFORMATION* info = Machine::Ext(node)->interfaceInfo;
                  SIM_CHECK(info != nullptr && info->NumberOfPipes == 3);
                  for (ULONG pipe = 0; pipe < 3; ++pipe) {
                      SIM_CHECK(info->Pipes[pipe].PipeHandle == UsbTestBus::PipeHandle(1, pipe));
                      SIM_CHECK(info->Pipes[pipe].MaximumTransferSize == 64);
                  }
              });
}

TEST(StartDevice, ASecondStartSelectsAgainAndReplacesThePipeHandles) {
    RunClean([] {
        auto& pnp = sim::Simulation::Current().pnp();
        Machine m;
        m.Load();
        sim::DeviceNode* node = m.PlugIn(kInstance);
        PortExtension* ext = Machine::Ext(node);
        uint64_t pool = DriverPool();
        ext->configured = FALSE;
        SIM_CHECK(pnp.SendPnp(node, IRP_MN_START_DEVICE) == STATUS_SUCCESS);
        SIM_CHECK(m.bus.Urbs(URB_FUNCTION_SELECT_CONFIGURATION).size() == 2);
        SIM_CHECK(ext->configured);
        for (ULONG pipe = 0; pipe < 3; ++pipe)
            SIM_CHECK(ext->interfaceInfo->Pipes[pipe].PipeHandle ==
                      UsbTestBus::PipeHandle(2, pipe));
        SIM_CHECK(DriverPool() == pool);  // the old copy was released
        pnp.Unplug(node);
    });
}

TEST(ConfigureDevice, AFailedFirstReadGetsOneResetOneClearAndOneMoreRead) {
    WithStart(
        [](UsbTestBus& bus) {
            bus.decide = [reads = 0](const UsbRequest& r) mutable {
                if (r.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE && ++reads == 1)
                    return Fail(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
                return Answer{};
            };
        },
        [](Machine& m, sim::DeviceNode*, NTSTATUS status) {
            SIM_CHECK(status == STATUS_SUCCESS);
            SIM_CHECK(Trail(m.bus) ==
                      Concat({"start", "descriptor", "reset", "clear", "descriptor", "select"},
                             kInitWrites));
            const UsbRequest& clear = *m.bus.Urbs(URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT)[0];
            SIM_CHECK(clear.featureSelector == USB_FEATURE_ENDPOINT_STALL && clear.index == 0);
            SIM_CHECK(clear.headerLength == sizeof(struct _URB_CONTROL_FEATURE_REQUEST));
        });
}

TEST(ConfigureDevice, AUsbStatusAloneAlsoTriggersTheRetry) {
    WithStart(
        [](UsbTestBus& bus) {
            bus.decide = [reads = 0](const UsbRequest& r) mutable {
                Answer a;
                if (r.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE && ++reads == 1)
                    a.usbd = USBD_STATUS_DEV_NOT_RESPONDING;
                return a;
            };
        },
        [](Machine& m, sim::DeviceNode*, NTSTATUS status) {
            SIM_CHECK(status == STATUS_SUCCESS);
            SIM_CHECK(m.bus.Urbs(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE).size() == 2);
        });
}

// Starts that fail during configuration: the device counts as started but
// not configured, nothing is selected that should not be, no chip write.
struct ConfigureFailure {
    const char* name;
    std::function<void(UsbTestBus&)> setup;
    NTSTATUS expected;
    size_t selections;  // select-configuration requests sent
};

TEST(ConfigureDevice, FailuresFailTheStartWithoutParsingOrInitialising) {
    const ConfigureFailure cases[] = {
        {"both reads fail",
         [](UsbTestBus& bus) {
             bus.decide = [](const UsbRequest& r) {
                 return r.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE
                            ? Fail(STATUS_DEVICE_NOT_READY, USBD_STATUS_STALL_PID)
                            : Answer{};
             };
         },
         STATUS_DEVICE_NOT_READY, 0},
        {"second read fails on the USB side only",
         [](UsbTestBus& bus) {
             bus.decide = [](const UsbRequest& r) {
                 Answer a;
                 if (r.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE)
                     a.usbd = USBD_STATUS_CRC;
                 return a;
             };
         },
         STATUS_UNSUCCESSFUL, 0},
        {"read fails without a USB status",
         [](UsbTestBus& bus) {
             bus.decide = [](const UsbRequest& r) {
                 Answer a;
                 if (r.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
                     a.status = STATUS_DEVICE_NOT_CONNECTED;
                     a.usbd = USBD_STATUS_SUCCESS;
                 }
                 return a;
             };
         },
         STATUS_DEVICE_NOT_CONNECTED, 0},
        {"descriptor arrives truncated", [](UsbTestBus& bus) { bus.truncateDescriptor = true; },
         STATUS_DEVICE_DATA_ERROR, 0},
        {"only part of the descriptor arrives",
         [](UsbTestBus& bus) {
             bus.decide = [](const UsbRequest& r) {
                 Answer a;
                 if (r.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) a.length = 5;
                 return a;
             };
         },
         STATUS_DEVICE_DATA_ERROR, 0},
        {"no interface", [](UsbTestBus& bus) { bus.noInterface = true; },
         STATUS_INSUFFICIENT_RESOURCES, 0},
        {"two pipes", [](UsbTestBus& bus) { bus.endpoints = 2; }, STATUS_DEVICE_CONFIGURATION_ERROR,
         0},
        {"four pipes", [](UsbTestBus& bus) { bus.endpoints = 4; },
         STATUS_DEVICE_CONFIGURATION_ERROR, 0},
        {"selection refused",
         [](UsbTestBus& bus) {
             bus.decide = [](const UsbRequest& r) {
                 return r.function == URB_FUNCTION_SELECT_CONFIGURATION
                            ? Fail(STATUS_UNSUCCESSFUL, USBD_STATUS_INVALID_PARAMETER)
                            : Answer{};
             };
         },
         STATUS_UNSUCCESSFUL, 1},
    };
    for (const ConfigureFailure& c : cases) {
        SCOPED_TRACE(c.name);
        WithStart(c.setup, [&c](Machine& m, sim::DeviceNode* node, NTSTATUS status) {
            SIM_CHECK(status == c.expected);
            PortExtension* ext = Machine::Ext(node);
            SIM_CHECK(!ext->started && !ext->configured && ext->interfaceInfo == nullptr);
            SIM_CHECK(m.bus.Urbs(URB_FUNCTION_SELECT_CONFIGURATION).size() == c.selections);
            SIM_CHECK(m.bus.RegisterSequence().empty());
        });
    }
}

TEST(ConfigureDevice, EveryAllocationFailingInTurnFailsTheStartCleanly) {
    bool copyFailureSeen = false;
    for (uint64_t nth = 1; nth <= 12; ++nth) {
        SCOPED_TRACE(nth);
        RunClean([nth, &copyFailureSeen] {
            auto& sim = sim::Simulation::Current();
            Machine m;
            m.Load();
            sim::DeviceNode* node = sim.pnp().Enumerate(m.bus, kInstance);
            SIM_CHECK(sim.pnp().AddDevice(node, m.driver) == STATUS_SUCCESS);
            sim.pool().FailNth(nth);
            NTSTATUS status = sim.pnp().SendPnp(node, IRP_MN_START_DEVICE);
            sim.pool().ClearFaults();
            PortExtension* ext = Machine::Ext(node);
            SIM_CHECK(status == STATUS_SUCCESS || status == STATUS_INSUFFICIENT_RESOURCES);
            if (status == STATUS_INSUFFICIENT_RESOURCES && !ext->configured) {
                SIM_CHECK(ext->interfaceInfo == nullptr);
                SIM_CHECK(m.bus.RegisterSequence().empty());
                // The selection went through but its copy could not be kept.
                if (m.bus.selections == 1) copyFailureSeen = true;
            }
            sim.pnp().Unplug(node);
            SIM_CHECK(DriverPool() == 0);
        });
    }
    EXPECT_TRUE(copyFailureSeen);
}

TEST(InitializeUart, AFailureOfAnyOfItsFourWritesFailsTheStart) {
    for (USHORT failing : {USHORT(2), USHORT(1), USHORT(8), USHORT(11)}) {
        SCOPED_TRACE(failing);
        WithStart(
            [failing](UsbTestBus& bus) {
                bus.decide = [failing](const UsbRequest& r) {
                    return r.IsRegisterWrite(failing) ? Fail(STATUS_DEVICE_BUSY) : Answer{};
                };
            },
            [failing](Machine& m, sim::DeviceNode* node, NTSTATUS status) {
                SIM_CHECK(status == STATUS_DEVICE_BUSY);
                std::vector<std::string> writes = m.bus.RegisterSequence();
                // The sequence stops at the failing write.
                SIM_CHECK(writes.back().rfind("W" + std::to_string(failing) + "=", 0) == 0);
                SIM_CHECK(writes.size() <= 4);
                PortExtension* ext = Machine::Ext(node);
                SIM_CHECK(ext->configured && !ext->started);  // a failed start is no start
                SIM_CHECK(ext->baudRate == 115200);  // defaults already in place
            });
    }
}

}  // namespace
