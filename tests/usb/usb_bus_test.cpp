// The USB bus below a function driver: URBs on the bridge chip, statuses as
// the Windows USB stack reports them, held transfers, cancellation, aborts,
// resets, stalls, faults, disconnection, timing on the virtual clock and
// USB captures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "sim/line/line_peer.h"
#include "sim/line/loopback_plug.h"
#include "tests/usb/pcap_reader.h"
#include "tests/usb/usb_bus_harness.h"

namespace usbtest {
namespace {

using sim::RunScenario;

// ---------------------------------------------------------------- control requests

TEST(UsbBus, DescriptorReadsHonourTheBufferLengthAndTakeOneFrame) {
    struct Case {
        UCHAR type, index;
        ULONG length;
        USBD_STATUS usbd;
        NTSTATUS status;
        ULONG returned;
    };
    const Case cases[] = {
        {USB_DEVICE_DESCRIPTOR_TYPE, 0, 18, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 18},
        {USB_DEVICE_DESCRIPTOR_TYPE, 0, 8, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 8},
        {USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 265, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 39},
        {USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 9, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 9},
        {USB_CONFIGURATION_DESCRIPTOR_TYPE, 1, 265, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL, 0},
        {USB_STRING_DESCRIPTOR_TYPE, 0, 255, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL, 0},
    };
    for (const Case& c : cases) {
        Request r;
        uint64_t started = 0;
        std::vector<sim::usb::TransferRecord> log;
        auto result = RunScenario({}, [&] {
            Bench bench;
            BuildDescriptorRead(r.urb, c.type, c.index, r.data, c.length);
            started = Now();
            SendAndWait(bench.pdo, r);
            log = bench.bus.Transfers(bench.pdo);
            bench.Remove();
        });
        SCOPED_TRACE(testing::Message() << "type " << int(c.type) << " index " << int(c.index)
                                        << " length " << c.length);
        ExpectOk(result);
        EXPECT_EQ(r.returned, STATUS_PENDING) << "completes later, not in the submitting call";
        EXPECT_EQ(r.irql, DISPATCH_LEVEL);
        EXPECT_EQ(FrameOf(r.time), FrameOf(started) + 1) << "served in the next frame";
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.urb.UrbHeader.Status, c.usbd);
        EXPECT_EQ(r.urb.UrbControlDescriptorRequest.TransferBufferLength, c.returned);
        const uint8_t* expected = c.type == USB_DEVICE_DESCRIPTOR_TYPE
                                      ? chip::kDeviceDescriptor
                                      : chip::kConfigurationDescriptor;
        EXPECT_EQ(0, std::memcmp(r.data, expected, c.returned));
        ASSERT_EQ(log.size(), 1u);
        const sim::usb::TransferRecord& x = log[0];
        EXPECT_EQ(x.endpoint, 0x80);
        EXPECT_EQ(x.type, sim::usb::TransferType::Control);
        EXPECT_TRUE(x.in);
        EXPECT_EQ(x.requested, c.length);
        EXPECT_EQ(x.moved, c.returned);
        EXPECT_EQ(x.data, std::vector<uint8_t>(expected, expected + c.returned));
        EXPECT_EQ(x.submitTime, started);
        EXPECT_EQ(x.completeTime, r.time);
        EXPECT_EQ(x.usbdStatus, c.usbd);
        EXPECT_EQ(x.ntStatus, c.status);
    }
}

TEST(UsbBus, RegisterWriteAndReadRoundTripThroughTheChipOneFrameEach) {
    UCHAR values[3] = {};
    NTSTATUS beyond = 0;
    uint8_t lineControl = 0;
    uint64_t elapsed = 0;
    auto r = RunScenario({}, [&] {
        Bench bench;
        uint64_t start = Now();
        SIM_CHECK(bench.WriteRegister(7, 0x5A) == STATUS_SUCCESS);
        SIM_CHECK(bench.WriteRegister(3, 0x83) == STATUS_SUCCESS);
        SIM_CHECK(bench.ReadRegister(7, &values[0]) == STATUS_SUCCESS);
        SIM_CHECK(bench.ReadRegister(3, &values[1]) == STATUS_SUCCESS);
        elapsed = Now() - start;
        lineControl = bench.bus.Chip(bench.pdo).UartState().LineControl();
        beyond = bench.ReadRegister(17, &values[2]);
        bench.Remove();
    });
    ExpectOk(r);
    EXPECT_EQ(values[0], 0x5A);
    EXPECT_EQ(values[1], 0x83);
    EXPECT_EQ(lineControl, 0x83)
        << "bmRequestType 0x40 | reserved bits reached the chip as a write";
    EXPECT_EQ(FrameOf(elapsed), 4u) << "four transfers in four frames";
    EXPECT_EQ(beyond, STATUS_UNSUCCESSFUL) << "register 17 stalls";
}

TEST(UsbBus, ControlRequestsFromSeveralThreadsRunOneAtATimeInOrder) {
    Request reads[3];
    uint64_t start = 0;
    auto r = RunScenario({}, [&] {
        Bench bench;
        start = Now();
        for (int i = 0; i < 3; ++i) {
            BuildRegisterRead(reads[i].urb, static_cast<USHORT>(i), reads[i].data);
            Send(bench.pdo, reads[i]);
        }
        for (auto& read : reads) Wait(read);
        bench.Remove();
    });
    ExpectOk(r);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(reads[i].status, STATUS_SUCCESS);
        EXPECT_EQ(FrameOf(reads[i].time) - FrameOf(start), static_cast<uint64_t>(i + 1));
        EXPECT_EQ(reads[i].order, reads[0].order + i);
    }
}

// Cancelling the running control request just as it ends on the bus, over
// many schedules: the request behind it still waits for a frame of its own.
TEST(UsbBus, CancelAtTheEndOfAControlFrameOver60SchedulesNeverShortensTheNext) {
    uint64_t ends = 0;  // when the first request ends undisturbed
    auto calibrate = RunScenario({}, [&] {
        Bench bench;
        Request first;
        BuildRegisterRead(first.urb, 6, first.data);
        SendAndWait(bench.pdo, first);
        ends = first.time;
        bench.Remove();
    });
    ASSERT_TRUE(calibrate.ok) << calibrate.Report();
    for (uint64_t seed = 1; seed <= 60; ++seed) {
        Request first, second;
        uint64_t start = 0;
        sim::Options options;
        options.strategy = seed % 2 ? sim::Strategy::Random : sim::Strategy::Pct;
        options.seed = seed;
        auto r = RunScenario(options, [&] {
            Bench bench;
            start = Now();
            for (Request* x : {&first, &second}) {
                BuildRegisterRead(x->urb, 6, x->data);
                Send(bench.pdo, *x);
            }
            Sleep(ends - start);
            IoCancelIrp(first.irp);
            Wait(first);
            Wait(second);
            bench.Remove();
        });
        ASSERT_TRUE(r.ok) << r.Report();
        // Under random and PCT schedules the clock may reach the next due
        // event while a completion DPC still runs, so a completion routine
        // can see a time up to one frame later than the bus ended the request.
        EXPECT_GE(first.time, ends) << r.Replay();
        EXPECT_LE(first.time, ends + kMs) << r.Replay();
        EXPECT_EQ(second.status, STATUS_SUCCESS) << r.Replay();
        EXPECT_GE(second.time, ends + kMs) << r.Replay();  // never shortened
        EXPECT_LE(second.time, ends + 2 * kMs) << r.Replay();
    }
}

// Under random and PCT schedules the clock may reach a nearly due device
// event while a thread still runs: in some seeds the control transfer's
// completion runs before the thread that submitted it blocks.
TEST(UsbBus, ControlCompletionCanArriveBeforeTheSubmitterBlocksInSomeOf200Seeds) {
    int early = 0;
    for (sim::Strategy strategy : {sim::Strategy::Random, sim::Strategy::Pct}) {
        for (uint64_t seed = 1; seed <= 100; ++seed) {
            Request read;
            bool completedBeforeBlock = false;
            sim::Options options;
            options.strategy = strategy;
            options.seed = seed;
            auto r = RunScenario(options, [&] {
                Bench bench;
                Sleep(kMs / 2);  // mid-frame: the completion is due within the look-ahead
                BuildRegisterRead(read.urb, 6, read.data);
                Send(bench.pdo, read);
                for (int i = 0; i < 100; ++i) KeQueryInterruptTime();
                completedBeforeBlock = read.Completed();
                Wait(read);
                bench.Remove();
            });
            ASSERT_TRUE(r.ok) << r.Report();
            EXPECT_EQ(read.status, STATUS_SUCCESS) << r.Replay();
            early += completedBeforeBlock;
        }
    }
    EXPECT_GT(early, 0) << "no seed completed the URB before the submitter blocked";
}

// A request passed down with its cancel routine still set is the caller's
// fault: the bus leaves the routine alone when it refuses the request, so
// the verifier sees it and stops the run.
TEST(UsbBus, ARefusedRequestKeepsTheCallersCancelRoutineAndTheVerifierStopsIt) {
    sim::Options options;
    options.checkPoolAtEnd = false;
    auto r = RunScenario(options, [] {
        Bench bench;
        Request bad;
        BuildTransfer(bad.urb, reinterpret_cast<PVOID>(0x1234), bad.data, 8);  // refused
        KeInitializeEvent(&bad.done, NotificationEvent, FALSE);
        bad.irp = IoAllocateIrp(bench.pdo->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(bad.irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = &bad.urb;
        IoSetCompletionRoutine(bad.irp, RecordCompletion, &bad, TRUE, TRUE, TRUE);
        IoSetCancelRoutine(bad.irp, [](PDEVICE_OBJECT, PIRP) {});
        IofCallDriver(bench.pdo, bad.irp);
        SIM_CHECK(!"the cancel routine passed down went unnoticed");
    });
    ASSERT_TRUE(r.bugCheck.has_value()) << r.Report();
    EXPECT_EQ(r.bugCheck->name, "DRIVER_VERIFIER_IOMANAGER_VIOLATION") << r.Report();
    EXPECT_NE(r.bugCheck->detail.find("cancel routine"), std::string::npos) << r.Report();
}

// ---------------------------------------------------------------- configuration

TEST(UsbBus, SelectConfigurationFillsPipesAndKeepsTheMaximumTransferSize) {
    NTSTATUS status = 0;
    std::vector<uint8_t> info;
    USBD_CONFIGURATION_HANDLE handle = nullptr;
    uint8_t configuration = 0;
    auto r = RunScenario({}, [&] {
        Bench bench;
        status = bench.Configure(64);
        info = bench.interfaceInfo;
        handle = bench.configurationHandle;
        configuration = bench.bus.Chip(bench.pdo).Configuration();
        bench.Remove();
    });
    ExpectOk(r);
    ASSERT_EQ(status, STATUS_SUCCESS);
    auto& i = *reinterpret_cast<const USBD_INTERFACE_INFORMATION*>(info.data());
    EXPECT_EQ(configuration, 1);
    EXPECT_NE(handle, nullptr);
    EXPECT_NE(i.InterfaceHandle, nullptr);
    EXPECT_EQ(i.Class, 0xFF);
    EXPECT_EQ(i.NumberOfPipes, 3u);
    struct Pipe {
        UCHAR endpoint;
        USBD_PIPE_TYPE type;
        USHORT maxPacket;
        UCHAR interval;
    };
    const Pipe expected[3] = {{0x81, UsbdPipeTypeInterrupt, 8, 1},
                              {0x02, UsbdPipeTypeBulk, 64, 0},
                              {0x83, UsbdPipeTypeBulk, 64, 0}};
    for (int p = 0; p < 3; ++p) {
        SCOPED_TRACE(p);
        EXPECT_EQ(i.Pipes[p].EndpointAddress, expected[p].endpoint);
        EXPECT_EQ(i.Pipes[p].PipeType, expected[p].type);
        EXPECT_EQ(i.Pipes[p].MaximumPacketSize, expected[p].maxPacket);
        EXPECT_EQ(i.Pipes[p].Interval, expected[p].interval);
        EXPECT_EQ(i.Pipes[p].MaximumTransferSize, 64u);
        EXPECT_NE(i.Pipes[p].PipeHandle, nullptr);
        for (int q = 0; q < p; ++q) EXPECT_NE(i.Pipes[p].PipeHandle, i.Pipes[q].PipeHandle);
    }
}

TEST(UsbBus, MaximumTransferSizeOutsideTheBusLimitIsRefusedAndNothingIsSelected) {
    struct Case {
        ULONG size;
        NTSTATUS status;
    };
    const Case cases[] = {{0, STATUS_INVALID_PARAMETER},
                          {1, STATUS_SUCCESS},
                          {64 * 1024, STATUS_SUCCESS},
                          {64 * 1024 + 1, STATUS_INVALID_PARAMETER}};
    for (const Case& c : cases) {
        NTSTATUS status = 0;
        uint8_t configuration = 0xFF;
        auto r = RunScenario({}, [&] {
            Bench bench;
            status = bench.Configure(c.size);
            configuration = bench.bus.Chip(bench.pdo).Configuration();
            bench.Remove();
        });
        SCOPED_TRACE(c.size);
        ExpectOk(r);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(configuration, NT_SUCCESS(c.status) ? 1 : 0);
    }
}

TEST(UsbBus, ReselectingDeconfiguringOrRemovingCancelsHeldTransfersAndRetiresTheirHandles) {
    Request held[3], stale;
    USBD_PIPE_HANDLE first = nullptr, second = nullptr;
    uint8_t configuration = 0xFF;
    auto r = RunScenario({}, [&] {
        Bench bench;
        bench.Configure();
        first = bench.pipes[2];
        BuildTransfer(held[0].urb, first, held[0].data, 64);
        Send(bench.pdo, held[0]);
        bench.Configure();  // a second selection
        second = bench.pipes[2];
        Wait(held[0]);
        BuildTransfer(stale.urb, first, stale.data, 64);
        SendAndWait(bench.pdo, stale);
        BuildTransfer(held[1].urb, second, held[1].data, 64);
        Send(bench.pdo, held[1]);
        URB deconfigure{};
        UsbBuildSelectConfigurationRequest(&deconfigure, sizeof(struct _URB_SELECT_CONFIGURATION),
                                           nullptr);
        SIM_CHECK(SubmitSync(bench.pdo, &deconfigure) == STATUS_SUCCESS);
        Wait(held[1]);
        configuration = bench.bus.Chip(bench.pdo).Configuration();
        bench.Configure();
        BuildTransfer(held[2].urb, bench.pipes[0], held[2].data, 4);
        Send(bench.pdo, held[2]);
        bench.Remove();  // removal reaches the PDO with the transfer still held
        Wait(held[2]);
    });
    ExpectOk(r);
    EXPECT_NE(first, second);
    for (auto& h : held) {
        EXPECT_EQ(h.status, STATUS_CANCELLED);
        EXPECT_EQ(h.urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    }
    EXPECT_EQ(stale.returned, STATUS_INVALID_PARAMETER) << "refused inside the submitting call";
    EXPECT_EQ(stale.urb.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
    EXPECT_EQ(configuration, 0);
}

TEST(UsbBus, MalformedRequestsAreRefusedAtOnceWithTheStackStatuses) {
    struct Case {
        const char* what;
        void (*build)(URB& u, USBD_PIPE_HANDLE in, uint8_t* data);
        NTSTATUS status;
        USBD_STATUS usbd;
    };
    const Case cases[] = {
        {"unknown pipe handle",
         [](URB& u, USBD_PIPE_HANDLE, uint8_t* d) {
             BuildTransfer(u, reinterpret_cast<PVOID>(0x1234), d, 8);
         },
         STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE},
        {"abort of an unknown pipe",
         [](URB& u, USBD_PIPE_HANDLE, uint8_t*) {
             BuildPipeRequest(u, URB_FUNCTION_ABORT_PIPE, nullptr);
         },
         STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE},
        {"unknown function",
         [](URB& u, USBD_PIPE_HANDLE, uint8_t*) {
             u.UrbHeader.Function = 0x7777;
             u.UrbHeader.Length = sizeof(URB);
         },
         STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION},
        {"header length too short",
         [](URB& u, USBD_PIPE_HANDLE in, uint8_t* d) {
             BuildTransfer(u, in, d, 8);
             u.UrbHeader.Length = sizeof(struct _URB_HEADER);
         },
         STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
        {"data without a buffer",
         [](URB& u, USBD_PIPE_HANDLE in, uint8_t*) { BuildTransfer(u, in, nullptr, 8); },
         STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
        {"longer than the pipe's maximum transfer size",
         [](URB& u, USBD_PIPE_HANDLE in, uint8_t* d) { BuildTransfer(u, in, d, 65); },
         STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
        {"control transfer not on the default pipe",
         [](URB& u, USBD_PIPE_HANDLE, uint8_t*) {
             u.UrbHeader.Function = URB_FUNCTION_CONTROL_TRANSFER;
             u.UrbHeader.Length = sizeof(struct _URB_CONTROL_TRANSFER);
         },
         STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE},
    };
    for (const Case& c : cases) {
        Request request;
        auto r = RunScenario({}, [&] {
            Bench bench;
            bench.Configure();
            c.build(request.urb, bench.pipes[2], request.data);
            SendAndWait(bench.pdo, request);
            bench.Remove();
        });
        SCOPED_TRACE(c.what);
        ExpectOk(r);
        EXPECT_EQ(request.returned, c.status) << "completed inside the submitting call";
        EXPECT_EQ(request.status, c.status);
        EXPECT_EQ(request.urb.UrbHeader.Status, c.usbd);
    }
    // A request without a URB, another internal control code, and the port status.
    Request noUrb, other, port;
    auto r = RunScenario({}, [&] {
        Bench bench;
        SendWith(bench.pdo, noUrb, IOCTL_INTERNAL_USB_SUBMIT_URB, nullptr);
        Wait(noUrb);
        Send(bench.pdo, other, IOCTL_INTERNAL_USB_CYCLE_PORT);
        Wait(other);
        Send(bench.pdo, port, IOCTL_INTERNAL_USB_GET_PORT_STATUS);
        Wait(port);
        bench.Remove();
    });
    ExpectOk(r);
    EXPECT_EQ(noUrb.returned, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(other.returned, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(port.returned, STATUS_SUCCESS);
    EXPECT_EQ(port.data[0], 0x3) << "enabled and connected";
}

// ---------------------------------------------------------------- data transfers

// Immediate timing, so that the UART's pace alone sets the times.
TEST(UsbBus, BulkOutLoopsBackToBulkInIntactAt115200OnTheVirtualClock) {
    std::vector<uint8_t> sent(100), received;
    uint64_t written = 0, last = 0;
    bool wakeupLeft = true;
    auto r = RunScenario({}, [&] {
        Bench bench(Immediate());
        line::LoopbackPlug plug;
        bench.bus.AttachFarEnd(bench.pdo, &plug);
        bench.Configure();
        for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i * 37 + 11);
        for (ULONG at = 0; at < sent.size(); at += 64) {
            URB out;
            ULONG n = std::min<ULONG>(64, static_cast<ULONG>(sent.size()) - at);
            BuildTransfer(out, bench.pipes[1], sent.data() + at, n, 0);
            SIM_CHECK(SubmitSync(bench.pdo, &out) == STATUS_SUCCESS);
            SIM_CHECK_EQ(out.UrbBulkOrInterruptTransfer.TransferBufferLength, n);
        }
        written = Now();
        while (received.size() < sent.size()) {
            Request in;
            BuildTransfer(in.urb, bench.pipes[2], in.data, 64);
            SIM_CHECK(SendAndWait(bench.pdo, in) == STATUS_SUCCESS);
            auto bytes = in.Bytes();
            received.insert(received.end(), bytes.begin(), bytes.end());
            last = in.time;
        }
        wakeupLeft = bench.bus.WakeupQueued(bench.pdo);
        bench.bus.AttachFarEnd(bench.pdo, nullptr);
        bench.Remove();
    });
    ExpectOk(r);
    EXPECT_EQ(received, sent);
    // 100 frames of 10 bits at 3,000,000 / 26 bit/s: 866.67 ticks each.
    EXPECT_EQ(last - written, 86'667u);
    EXPECT_FALSE(wakeupLeft) << "an idle chip keeps nothing on the clock";
}

TEST(UsbBus, BulkInGathersFullPacketsAndHonoursShortTransferOk) {
    struct Case {
        ULONG flags;
        NTSTATUS status;
        USBD_STATUS usbd;
    };
    const Case cases[] = {
        {kInShortOk, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
        {USBD_TRANSFER_DIRECTION_IN, STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_UNDERRUN}};
    for (const Case& c : cases) {
        Request in;
        auto r = RunScenario({}, [&] {
            Bench bench;
            line::LoopbackPlug plug;
            bench.bus.AttachFarEnd(bench.pdo, &plug);
            bench.Configure(256);
            uint8_t bytes[100];
            for (int i = 0; i < 100; ++i) bytes[i] = static_cast<uint8_t>(i);
            URB out;
            BuildTransfer(out, bench.pipes[1], bytes, sizeof bytes, 0);
            SubmitSync(bench.pdo, &out);
            Sleep(10 * kMs);  // everything looped back and waits in the receive FIFO
            BuildTransfer(in.urb, bench.pipes[2], in.data, 256, c.flags);
            SendAndWait(bench.pdo, in);
            bench.bus.AttachFarEnd(bench.pdo, nullptr);
            bench.Remove();
        });
        SCOPED_TRACE(c.flags);
        ExpectOk(r);
        EXPECT_EQ(in.status, c.status);
        EXPECT_EQ(in.urb.UrbHeader.Status, c.usbd);
        ASSERT_EQ(in.Length(), 100u)
            << "a full packet and a short one; the bytes are reported either way";
        for (int i = 0; i < 100; ++i) EXPECT_EQ(in.data[i], i);
    }
}

TEST(UsbBus, InterruptInDeliversAStatusReportWhenAModemLineChanges) {
    Request status;
    NTSTATUS before = 0;
    uint64_t changed = 0;
    auto r = RunScenario({}, [&] {
        Bench bench;
        line::RecordingPeer peer;
        bench.bus.AttachFarEnd(bench.pdo, &peer);
        bench.Configure();
        BuildTransfer(status.urb, bench.pipes[0], status.data, 4);
        Send(bench.pdo, status);
        before = Wait(status, 5 * kMs);
        changed = Now();
        bench.Line([&](chip::BridgeChip&) { peer.SetLine(chip::kLineCts, true); });
        Wait(status);
        bench.bus.AttachFarEnd(bench.pdo, nullptr);
        bench.Remove();
    });
    ExpectOk(r);
    EXPECT_EQ(before, STATUS_TIMEOUT) << "no report while the lines are quiet";
    EXPECT_EQ(status.returned, STATUS_PENDING);
    EXPECT_EQ(status.irql, DISPATCH_LEVEL);
    EXPECT_EQ(status.status, STATUS_SUCCESS);
    ASSERT_EQ(status.Length(), 4u);
    EXPECT_EQ(status.data[0], 0xE8);
    EXPECT_EQ(status.data[3] & 0x11, 0x11) << "CTS level and its delta";
    EXPECT_EQ(FrameOf(status.time), FrameOf(changed) + 1) << "polled in the next frame";
}

// ---------------------------------------------------------------- frame timing

// A stream at 115200 8N1 (11.5 bytes a millisecond) read one 64-byte
// transfer at a time: each transfer is served at the start of the frame after
// its submission and carries what arrived during one frame; the capture
// stamps the completions with the same frame times.
TEST(UsbBus, At115200EachBulkInCarriesOneFramesBytesAndEndsAtTheFrameStart) {
    const std::string path = testing::TempDir() + "usb_bus_frames.pcap";
    std::string text(230, ' ');
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('A' + i % 26);
    std::string received;
    std::vector<sim::usb::TransferRecord> log;
    auto r = RunScenario({}, [&] {
        Bench bench;
        line::RecordingPeer peer(line::LineSettings::Baud(115200));
        bench.bus.AttachFarEnd(bench.pdo, &peer);
        bench.Configure();
        SIM_CHECK(bench.bus.CaptureTo(path));
        bench.bus.ClearTransfers(bench.pdo);
        bench.Line([&](chip::BridgeChip&) { peer.Send(text); });
        while (received.size() < text.size()) {
            Request in;
            BuildTransfer(in.urb, bench.pipes[2], in.data, 64);
            SIM_CHECK(SendAndWait(bench.pdo, in) == STATUS_SUCCESS);
            received.append(reinterpret_cast<const char*>(in.data), in.Length());
        }
        bench.bus.StopCapture();
        log = bench.bus.Transfers(bench.pdo);
        bench.bus.AttachFarEnd(bench.pdo, nullptr);
        bench.Remove();
    });
    ExpectOk(r);
    EXPECT_EQ(received, text);
    ASSERT_GE(log.size(), 3u);
    std::string sizes;
    for (size_t i = 0; i < log.size(); ++i) {
        const sim::usb::TransferRecord& x = log[i];
        SCOPED_TRACE(i);
        sizes += std::to_string(x.moved) + " ";
        EXPECT_EQ(x.endpoint, 0x83);
        EXPECT_EQ(FrameOf(x.submitTime) + 1, FrameOf(x.completeTime));
        EXPECT_EQ(x.CompleteFrame(), log[0].CompleteFrame() + i) << "one transfer a frame";
        EXPECT_LT(x.completeTime % kMs, kMs / 20) << "early in its frame";
        if (i > 0 && i + 1 < log.size()) {
            EXPECT_TRUE(x.moved == 11 || x.moved == 12) << x.moved;
        }
    }
    std::printf("bytes per bulk-in transfer at 115200: %s\n", sizes.c_str());
    // Capture: the bulk-in completions carry the same times, in microseconds.
    std::vector<uint64_t> stamps;
    for (const pcapread::Record& record : pcapread::Records(pcapread::ReadFile(path))) {
        if (record.bytes[16] == 1 && record.bytes[21] == 0x83)
            stamps.push_back(record.seconds * 1'000'000ull + record.micros);
    }
    ASSERT_EQ(stamps.size(), log.size());
    for (size_t i = 0; i < log.size(); ++i) EXPECT_EQ(stamps[i], log[i].completeTime / 10) << i;
}

// Twenty-four full packets waiting on six cables: one frame moves nineteen
// of them, round the cables in turn, and the next frame the rest.
TEST(UsbBus, BulkPacketsOfEveryDeviceOnTheBusShareNineteenAFrame) {
    constexpr int kCables = 6, kReads = 4;
    std::vector<uint64_t> frames;  // completion frames, relative to the submissions'
    std::vector<int> perCable(kCables);
    bool allFull = true;
    auto r = RunScenario({}, [&] {
        sim::usb::UsbBus bus;
        std::vector<std::unique_ptr<Cable>> cables;
        std::vector<std::unique_ptr<line::RecordingPeer>> peers;
        for (int c = 0; c < kCables; ++c) {
            cables.push_back(std::make_unique<Cable>(bus, kInstance + std::to_string(c)));
            peers.push_back(
                std::make_unique<line::RecordingPeer>(line::LineSettings::Baud(115200)));
            bus.AttachFarEnd(cables[c]->pdo, peers[c].get());
            cables[c]->Configure();
            cables[c]->Line([&](chip::BridgeChip&) { peers[c]->Send(std::string(256, 'x')); });
        }
        Sleep(30 * kMs);  // every receive FIFO fills
        std::vector<Request> reads(kCables * kReads);
        const uint64_t submitted = FrameOf(Now());
        for (int i = 0; i < kCables * kReads; ++i) {
            BuildTransfer(reads[i].urb, cables[i / kReads]->pipes[2], reads[i].data, 64);
            Send(cables[i / kReads]->pdo, reads[i]);
        }
        for (auto& read : reads) Wait(read);
        for (int i = 0; i < kCables * kReads; ++i) {
            frames.push_back(FrameOf(reads[i].time) - submitted);
            if (frames.back() == 1) ++perCable[i / kReads];
            allFull = allFull && reads[i].Length() == 64;
        }
        for (int c = 0; c < kCables; ++c) {
            bus.AttachFarEnd(cables[c]->pdo, nullptr);
            cables[c]->Remove();
        }
    });
    ExpectOk(r);
    EXPECT_TRUE(allFull);
    EXPECT_EQ(std::count(frames.begin(), frames.end(), 1u), 19);
    EXPECT_EQ(std::count(frames.begin(), frames.end(), 2u), 5);
    for (int c = 0; c < kCables; ++c)
        EXPECT_GE(perCable[c], 3) << "cable " << c << " got its turns";
}

// A zero-length packet on demand: at a chosen moment it ends the bulk-in
// transfer that waits on the chip, successfully with no bytes; with bytes
// waiting it still comes empty and the bytes go to the next transfer.
TEST(UsbBus, ZeroLengthBulkInFaultEndsTheTransferEmptyAtItsMoment) {
    Request waiting, withBytes, next;
    uint64_t due = 0;
    auto r = RunScenario({}, [&] {
        Bench bench;
        line::RecordingPeer peer(line::LineSettings::Baud(115200));
        bench.bus.AttachFarEnd(bench.pdo, &peer);
        bench.Configure();
        due = Now() + 5 * kMs + 1234;
        bench.Line(
            [&](chip::BridgeChip& c) { c.InjectFault(chip::Fault::ZeroLengthBulkIn().From(due)); });
        BuildTransfer(waiting.urb, bench.pipes[2], waiting.data, 64);
        SendAndWait(bench.pdo, waiting);
        bench.Line([&](chip::BridgeChip&) { peer.Send("ab"); });
        Sleep(2 * kMs);
        bench.Line([](chip::BridgeChip& c) { c.InjectFault(chip::Fault::ZeroLengthBulkIn()); });
        for (Request* x : {&withBytes, &next}) {
            BuildTransfer(x->urb, bench.pipes[2], x->data, 64);
            SendAndWait(bench.pdo, *x);
        }
        bench.bus.AttachFarEnd(bench.pdo, nullptr);
        bench.Remove();
    });
    ExpectOk(r);
    for (Request* x : {&waiting, &withBytes}) {
        EXPECT_EQ(x->status, STATUS_SUCCESS);
        EXPECT_EQ(x->urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
        EXPECT_EQ(x->Length(), 0u);
    }
    EXPECT_GE(waiting.time, due);
    EXPECT_LT(waiting.time, due + kMs / 10) << "retried the moment the packet was due";
    EXPECT_EQ(next.Bytes(), (std::vector<uint8_t>{'a', 'b'}));
}

// ---------------------------------------------------------------- abort and cancel

TEST(UsbBus, AbortPipeCompletesHeldTransfersCancelledBeforeItself) {
    Request in[2], status, abort, abortStatus;
    size_t heldAfter = 99;
    auto r = RunScenario({}, [&] {
        Bench bench;
        bench.Configure();
        for (auto& x : in) {
            BuildTransfer(x.urb, bench.pipes[2], x.data, 64);
            Send(bench.pdo, x);
        }
        BuildTransfer(status.urb, bench.pipes[0], status.data, 4);
        Send(bench.pdo, status);
        BuildPipeRequest(abort.urb, URB_FUNCTION_ABORT_PIPE, bench.pipes[2]);
        SendAndWait(bench.pdo, abort);
        for (auto& x : in) Wait(x);
        SIM_CHECK(!status.Completed());
        BuildPipeRequest(abortStatus.urb, URB_FUNCTION_ABORT_PIPE, bench.pipes[0]);
        SendAndWait(bench.pdo, abortStatus);
        Wait(status);
        heldAfter = bench.bus.HeldRequests(bench.pdo);
        bench.Remove();
    });
    ExpectOk(r);
    for (auto& x : in) {
        EXPECT_EQ(x.status, STATUS_CANCELLED);
        EXPECT_EQ(x.urb.UrbHeader.Status, USBD_STATUS_CANCELED);
        EXPECT_LT(x.order, abort.order);
    }
    EXPECT_EQ(abort.status, STATUS_SUCCESS);
    EXPECT_EQ(abort.urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(status.status, STATUS_CANCELLED);
    EXPECT_EQ(heldAfter, 0u);
}

TEST(UsbBus, CancellingAHeldTransferLeavesTheDataForTheNextOne) {
    Request first, second;
    BOOLEAN cancelled = FALSE;
    bool completedInsideCancel = true;
    uint64_t cancelledAt = 0;
    auto r = RunScenario({}, [&] {
        Bench bench;
        line::RecordingPeer peer(line::LineSettings::Baud(115200));
        bench.bus.AttachFarEnd(bench.pdo, &peer);
        bench.Configure();
        for (Request* x : {&first, &second}) {
            BuildTransfer(x->urb, bench.pipes[2], x->data, 64);
            Send(bench.pdo, *x);
        }
        cancelledAt = Now();
        cancelled = IoCancelIrp(first.irp);
        completedInsideCancel = first.Completed();
        Wait(first);
        bench.Line([&](chip::BridgeChip&) { peer.Send("hi"); });
        Wait(second);
        bench.bus.AttachFarEnd(bench.pdo, nullptr);
        bench.Remove();
    });
    ExpectOk(r);
    EXPECT_TRUE(cancelled);
    EXPECT_FALSE(completedInsideCancel) << "the endpoint stops before the transfer completes";
    const uint64_t nextFrame = (cancelledAt / sim::usb::kFrameTicks + 1) * sim::usb::kFrameTicks;
    EXPECT_GE(first.time, nextFrame);
    EXPECT_LE(first.time, nextFrame + sim::usb::kFrameTicks);
    EXPECT_EQ(first.time % sim::usb::kFrameTicks, 0u);
    EXPECT_EQ(first.status, STATUS_CANCELLED);
    EXPECT_EQ(first.urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(second.status, STATUS_SUCCESS);
    EXPECT_EQ(second.Bytes().front(), 'h') << "the data went to the transfer behind";
}

// Cancel racing the arrival of a byte, over many schedules and under both
// timings: each request completes once, and a byte it did not deliver is
// still in the chip. Under frame timing the transfer NAKed at its frame's
// start is retried the moment the byte arrives, which is when the cancel
// comes.
TEST(UsbBus, CancelRacingDataArrivalOver60SchedulesNeverLosesTheByte) {
    for (sim::usb::UsbTiming timing :
         {sim::usb::UsbTiming::Immediate, sim::usb::UsbTiming::Frames}) {
        int delivered = 0, cancelled = 0;
        for (uint64_t seed = 1; seed <= 60; ++seed) {
            Request in;
            uint32_t left = 0;
            sim::Options options;
            options.strategy = seed % 2 ? sim::Strategy::Random : sim::Strategy::Pct;
            options.seed = seed;
            auto r = RunScenario(options, [&] {
                sim::usb::UsbBusOptions busOptions;
                busOptions.timing = timing;
                Bench bench(busOptions);
                line::LoopbackPlug plug;
                bench.bus.AttachFarEnd(bench.pdo, &plug);
                bench.Configure();
                BuildTransfer(in.urb, bench.pipes[2], in.data, 64);
                Send(bench.pdo, in);
                uint8_t byte = 0x42;
                URB out;
                BuildTransfer(out, bench.pipes[1], &byte, 1, 0);
                SubmitSync(bench.pdo, &out);
                // The chip took the byte now, or at this frame's start; it is
                // back 867 ticks later.
                const uint64_t took =
                    timing == sim::usb::UsbTiming::Frames ? FrameOf(Now()) * kMs : Now();
                Sleep(took + 867 - Now());
                IoCancelIrp(in.irp);
                Wait(in);
                bench.Line([&](chip::BridgeChip& c) { left = c.RxFifoLevel(); });
                bench.bus.AttachFarEnd(bench.pdo, nullptr);
                bench.Remove();
            });
            ASSERT_TRUE(r.ok) << r.Report();
            if (in.status == STATUS_SUCCESS) {
                ++delivered;
                EXPECT_EQ(in.Bytes(), std::vector<uint8_t>{0x42}) << r.Replay();
                EXPECT_EQ(left, 0u) << r.Replay();
            } else {
                ++cancelled;
                EXPECT_EQ(in.status, STATUS_CANCELLED) << r.Replay();
                EXPECT_EQ(left, 1u) << r.Replay();
            }
        }
        const char* name = timing == sim::usb::UsbTiming::Frames ? "frames" : "immediate";
        std::printf("60 schedules, %s: %d delivered, %d cancelled\n", name, delivered, cancelled);
        EXPECT_GT(delivered, 0) << name;
        EXPECT_GT(cancelled, 0) << name;
    }
}

// ---------------------------------------------------------------- faults, stalls, resets

TEST(UsbBus, FirstConfigurationReadFaultFailsOnceWithItsUsbStatus) {
    Request first, second;
    auto r = RunScenario({}, [&] {
        Bench bench;
        bench.bus.Chip(bench.pdo).FailNextConfigurationRead();
        for (Request* x : {&first, &second}) {
            BuildDescriptorRead(x->urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, x->data, 265);
            SendAndWait(bench.pdo, *x);
        }
        bench.Remove();
    });
    ExpectOk(r);
    EXPECT_EQ(first.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(first.urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(first.urb.UrbControlDescriptorRequest.TransferBufferLength, 0u);
    EXPECT_EQ(second.status, STATUS_SUCCESS);
    EXPECT_EQ(second.urb.UrbControlDescriptorRequest.TransferBufferLength, 39u);
}

TEST(UsbBus, ClearFeatureEndsAStallOfADataEndpointOrOfEndpointZero) {
    Request held, stalledRead, clearIn, clearZero;
    bool haltedAfter = true;
    UCHAR value = 0;
    auto r = RunScenario({}, [&] {
        Bench bench;
        bench.Configure();
        BuildTransfer(held.urb, bench.pipes[2], held.data, 64);
        Send(bench.pdo, held);
        bench.Line([](chip::BridgeChip& c) { c.HaltEndpoint(chip::kEndpointBulkIn); });
        Wait(held);
        BuildFeature(clearIn.urb, URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT,
                     USB_FEATURE_ENDPOINT_STALL, 0x83);
        SendAndWait(bench.pdo, clearIn);
        haltedAfter = bench.bus.Chip(bench.pdo).EndpointHalted(chip::kEndpointBulkIn);

        bench.Line([](chip::BridgeChip& c) { c.HaltEndpoint(chip::kEndpointControl); });
        BuildRegisterRead(stalledRead.urb, 6, stalledRead.data);
        SendAndWait(bench.pdo, stalledRead);
        BuildFeature(clearZero.urb, URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT,
                     USB_FEATURE_ENDPOINT_STALL, 0);
        SendAndWait(bench.pdo, clearZero);
        SIM_CHECK(bench.ReadRegister(6, &value) == STATUS_SUCCESS);
        bench.Remove();
    });
    ExpectOk(r);
    EXPECT_EQ(held.status, STATUS_UNSUCCESSFUL) << "a held transfer fails when its endpoint halts";
    EXPECT_EQ(held.urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(clearIn.status, STATUS_SUCCESS);
    EXPECT_FALSE(haltedAfter);
    EXPECT_EQ(stalledRead.urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(clearZero.status, STATUS_SUCCESS);
}

TEST(UsbBus, ResetPortRestoresAddressAndConfigurationWithTheSameHandles) {
    UCHAR before = 0, after = 0xFF;
    uint64_t took = 0;
    uint8_t configuration = 0, address = 0, expectedAddress = 0;
    NTSTATUS reset = 0, transfer = 0;
    auto r = RunScenario({}, [&] {
        Bench bench;
        bench.Configure();
        bench.WriteRegister(7, 0x5A);
        bench.ReadRegister(7, &before);
        Request request;
        uint64_t start = Now();
        Send(bench.pdo, request, IOCTL_INTERNAL_USB_RESET_PORT);
        reset = Wait(request);
        took = Now() - start;
        bench.ReadRegister(7, &after);
        chip::BridgeChip& c = bench.bus.Chip(bench.pdo);
        configuration = c.Configuration();
        address = c.Address();
        expectedAddress = bench.bus.DeviceAddress(bench.pdo);
        uint8_t byte = 1;
        URB out;
        BuildTransfer(out, bench.pipes[1], &byte, 1, 0);
        transfer = SubmitSync(bench.pdo, &out);
        bench.Remove();
    });
    ExpectOk(r);
    EXPECT_EQ(before, 0x5A);
    EXPECT_EQ(reset, STATUS_SUCCESS);
    EXPECT_EQ(took, 10 * kMs);
    EXPECT_EQ(after, 0) << "the UART is back in its power-on state";
    EXPECT_EQ(configuration, 1);
    EXPECT_EQ(address, expectedAddress);
    EXPECT_EQ(transfer, STATUS_SUCCESS) << "pipe handles stay valid across a port reset";
}

TEST(UsbBus, HungTransferStaysPendingUntilCancelledAndHoldsUpItsPipe) {
    Request hung, behind;
    NTSTATUS waited = 0, behindWhileHung = 0;
    auto r = RunScenario({}, [&] {
        Bench bench;
        line::RecordingPeer peer(line::LineSettings::Baud(115200));
        bench.bus.AttachFarEnd(bench.pdo, &peer);
        bench.Configure();
        bench.Line([&](chip::BridgeChip& c) {
            c.InjectFault(chip::Fault::HangPipe(chip::kEndpointBulkIn));
            peer.Send("ab");
        });
        BuildTransfer(hung.urb, bench.pipes[2], hung.data, 64);
        Send(bench.pdo, hung);
        BuildTransfer(behind.urb, bench.pipes[2], behind.data, 64);
        Send(bench.pdo, behind);
        waited = Wait(hung, 50 * kMs);
        behindWhileHung = behind.Completed() ? behind.status : STATUS_PENDING;
        IoCancelIrp(hung.irp);
        Wait(hung);
        Wait(behind);
        bench.bus.AttachFarEnd(bench.pdo, nullptr);
        bench.Remove();
    });
    ExpectOk(r);
    EXPECT_EQ(waited, STATUS_TIMEOUT);
    EXPECT_EQ(behindWhileHung, STATUS_PENDING);
    EXPECT_EQ(hung.status, STATUS_CANCELLED);
    EXPECT_EQ(behind.status, STATUS_SUCCESS);
    EXPECT_EQ(behind.Bytes(), (std::vector<uint8_t>{'a', 'b'})) << "the hung transfer took nothing";
}

// ---------------------------------------------------------------- disconnection and idling

TEST(UsbBus, DisconnectFailsHeldTransfersAtOnceAndEveryLaterRequest) {
    Request in, status, hungRead, later, reset;
    uint64_t unplugged = 0;
    NTSTATUS replugged = 0;
    auto r = RunScenario({}, [&] {
        Bench bench;
        bench.Configure();
        bench.Line([](chip::BridgeChip& c) {
            c.InjectFault(chip::Fault::HangControl(chip::RequestMatch::RegisterRead(6)));
        });
        BuildTransfer(in.urb, bench.pipes[2], in.data, 64);
        Send(bench.pdo, in);
        BuildTransfer(status.urb, bench.pipes[0], status.data, 4);
        Send(bench.pdo, status);
        BuildRegisterRead(hungRead.urb, 6, hungRead.data);
        Send(bench.pdo, hungRead);
        Sleep(5 * kMs);
        unplugged = Now();
        bench.bus.Disconnect(bench.pdo);
        for (Request* x : {&in, &status, &hungRead}) Wait(*x);
        BuildRegisterRead(later.urb, 6, later.data);
        SendAndWait(bench.pdo, later);
        Send(bench.pdo, reset, IOCTL_INTERNAL_USB_RESET_PORT);
        Wait(reset);
        sim::Simulation::Current().pnp().Unplug(bench.node);
        // The same cable plugged in again comes up afresh.
        sim::DeviceNode* again = sim::Simulation::Current().pnp().Enumerate(bench.bus, kInstance);
        URB read;
        uint8_t descriptor[18];
        BuildDescriptorRead(read, USB_DEVICE_DESCRIPTOR_TYPE, 0, descriptor, sizeof descriptor);
        replugged = SubmitSync(again->pdo, &read);
        sim::Simulation::Current().pnp().Remove(again);
    });
    ExpectOk(r);
    for (Request* x : {&in, &status, &hungRead}) {
        EXPECT_EQ(x->status, STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(x->urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
        EXPECT_EQ(x->time, unplugged);
    }
    EXPECT_EQ(later.returned, STATUS_DEVICE_NOT_CONNECTED) << "refused inside the submitting call";
    EXPECT_EQ(later.urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(reset.returned, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(replugged, STATUS_SUCCESS);
}

// A small function driver above the PDO: its held transfer completes before
// the PnP manager's surprise removal reaches it.
struct FunctionDevice {
    PDEVICE_OBJECT lower;
};
Request* gHeld = nullptr;

NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<FunctionDevice*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const bool power = stack->MajorFunction == IRP_MJ_POWER;
    const bool remove =
        stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
    if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_SURPRISE_REMOVAL)
        SIM_CHECK(gHeld->Completed());
    if (power) PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = power ? PoCallDriver(ext->lower, irp) : IofCallDriver(ext->lower, irp);
    if (remove) {
        IoDetachDevice(ext->lower);
        IoDeleteDevice(device);
    }
    return status;
}

NTSTATUS AddFunctionDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FunctionDevice), nullptr, FILE_DEVICE_UNKNOWN,
                                     0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    static_cast<FunctionDevice*>(fdo->DeviceExtension)->lower =
        IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS FunctionDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (UCHAR major : {IRP_MJ_PNP, IRP_MJ_POWER, IRP_MJ_INTERNAL_DEVICE_CONTROL})
        driver->MajorFunction[major] = PassDown;
    driver->DriverExtension->AddDevice = AddFunctionDevice;
    return STATUS_SUCCESS;
}

TEST(UsbBus, UnplugUnderAFunctionDriverEndsItsHeldTransferBeforeSurpriseRemoval) {
    Request held;
    gHeld = &held;
    auto r = RunScenario({}, [&] {
        sim::usb::UsbBus bus;
        sim::Pnp& pnp = sim::Simulation::Current().pnp();
        PDRIVER_OBJECT driver = pnp.LoadDriver("usbfunction", FunctionDriverEntry);
        NTSTATUS started = STATUS_UNSUCCESSFUL;
        sim::DeviceNode* node = pnp.PlugIn(bus, kInstance, driver, &started);
        SIM_CHECK(started == STATUS_SUCCESS);
        URB read;
        uint8_t descriptor[265];
        BuildDescriptorRead(read, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, descriptor,
                            sizeof descriptor);
        SIM_CHECK(SubmitSync(node->top, &read) == STATUS_SUCCESS);
        auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(descriptor);
        USBD_INTERFACE_LIST_ENTRY list[2] = {};
        list[0].InterfaceDescriptor =
            USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
        PURB select = USBD_CreateConfigurationRequestEx(config, list);
        SIM_CHECK(SubmitSync(node->top, select) == STATUS_SUCCESS);
        BuildTransfer(held.urb, list[0].Interface->Pipes[2].PipeHandle, held.data, 64);
        ExFreePool(select);
        Send(node->top, held);
        pnp.Unplug(node);
        SIM_CHECK(held.Completed());
        Wait(held);
    });
    ExpectOk(r);
    EXPECT_EQ(held.status, STATUS_DEVICE_NOT_CONNECTED);
}

TEST(UsbBus, AnIdleBusLeavesNothingOnTheClockSoAStuckWaitIsADeadlock) {
    bool wakeup = true;
    auto idle = RunScenario({}, [&] {
        Bench bench;
        line::LoopbackPlug plug;
        bench.bus.AttachFarEnd(bench.pdo, &plug);
        bench.Configure();
        URB out;
        uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        BuildTransfer(out, bench.pipes[1], bytes, sizeof bytes, 0);
        SubmitSync(bench.pdo, &out);
        Sleep(2 * kMs);
        wakeup = bench.bus.WakeupQueued(bench.pdo);
        bench.bus.AttachFarEnd(bench.pdo, nullptr);
        bench.Remove();
    });
    ExpectOk(idle);
    EXPECT_FALSE(wakeup);

    // A wait that nothing will end: with no stray events the run stops at
    // once as a deadlock instead of running the clock on.
    sim::Options options;
    options.checkPoolAtEnd = false;
    auto stuck = RunScenario(options, [&] {
        Bench bench;
        bench.Configure();
        Request in;
        BuildTransfer(in.urb, bench.pipes[2], in.data, 64);
        Send(bench.pdo, in);
        Wait(in);
    });
    EXPECT_FALSE(stuck.ok);
    EXPECT_FALSE(stuck.deadlock.empty()) << stuck.Report();
    EXPECT_LT(stuck.virtualTime, 10 * kMs);
}

// ---------------------------------------------------------------- captures and trace

std::string Decode(const std::string& path) {
    std::string text;
    if (FILE* pipe = popen(("tshark -r '" + path + "' -V 2>/dev/null").c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
        pclose(pipe);
    }
    return text;
}

TEST(UsbBus, CaptureDecodesAsRegisterWritesDescriptorReadsAndBulkData) {
    const std::string path = testing::TempDir() + "usb_bus_capture.pcap";
    uint64_t records = 0;
    std::vector<std::string> trace;
    auto r = RunScenario({}, [&] {
        Bench bench;
        SIM_CHECK(bench.bus.CaptureTo(path));
        line::LoopbackPlug plug;
        bench.bus.AttachFarEnd(bench.pdo, &plug);
        bench.Configure();
        bench.WriteRegister(3, 0x83);
        bench.WriteRegister(3, 0x03);
        uint8_t bytes[3] = {0xDE, 0xAD, 0xBE};
        URB out;
        BuildTransfer(out, bench.pipes[1], bytes, sizeof bytes, 0);
        SubmitSync(bench.pdo, &out);
        Sleep(5 * kMs);
        Request in;
        BuildTransfer(in.urb, bench.pipes[2], in.data, 64);
        SendAndWait(bench.pdo, in);
        bench.bus.AttachFarEnd(bench.pdo, nullptr);
        records = bench.bus.CapturedRecords();
        bench.bus.StopCapture();
        for (auto& e : sim::Simulation::Current().trace().EventsOfKind("URB"))
            trace.push_back(e.text);
        bench.Remove();
    });
    ExpectOk(r);
    // Descriptor read, select, two writes: setup + complete each; bulk-out and
    // bulk-in: submit + complete each.
    EXPECT_EQ(records, 12u);
    auto traced = [&](const std::string& text) {
        for (auto& line : trace)
            if (line.find(text) != std::string::npos) return true;
        return false;
    };
    for (const char* text : {"submit vendor write reg 3 = 0x83", "vendor write reg 3 = 0x83: done",
                             "select configuration 1: 3 pipes: done",
                             "get configuration descriptor 0, 265 bytes: 39 bytes",
                             "bulk-out 3 bytes", "bulk-in: 3 bytes"})
        EXPECT_TRUE(traced(text)) << text;

    if (std::system("command -v tshark >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tshark is not installed";
    const std::string text = Decode(path);
    ASSERT_FALSE(text.empty()) << "tshark produced nothing";
    for (const char* expected :
         {"URB_FUNCTION_VENDOR_DEVICE (0x0017)", "bmRequestType: 0x40", "bRequest: 254",
          "wValue: 0x0083", "wIndex: 3 (0x0003)", "wLength: 0",
          "URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE (0x000b)", "bRequest: GET DESCRIPTOR (6)",
          "bDescriptorType: CONFIGURATION (0x02)", "URB_FUNCTION_SELECT_CONFIGURATION (0x0000)",
          "Endpoint: 0x83, Direction: IN", "Endpoint: 0x02, Direction: OUT"})
        EXPECT_NE(text.find(expected), std::string::npos) << expected;
    EXPECT_EQ(text.find("Malformed"), std::string::npos);
}

// What the hub answers for its child: the chosen power map in the
// capabilities, and a wait-wake held until a wake event, a cancel or the
// removal; refused when the device cannot wake, or not from the state asked.
TEST(UsbBus, PowerMapAndWaitWake) {
    enum Ending { Wake, Cancel, Removal };
    struct Case {
        const char* what;
        bool wakeCapable;
        SYSTEM_POWER_STATE asked;
        Ending ending;
        NTSTATUS expected;
    } cases[] = {
        {"not wake-capable", false, PowerSystemSleeping3, Wake, STATUS_NOT_SUPPORTED},
        {"wake event", true, PowerSystemSleeping3, Wake, STATUS_SUCCESS},
        {"cancelled", true, PowerSystemSleeping3, Cancel, STATUS_CANCELLED},
        {"removed", true, PowerSystemSleeping1, Removal, STATUS_NO_SUCH_DEVICE},
        {"wakes from S3, not from S4", true, PowerSystemHibernate, Wake, STATUS_INVALID_DEVICE_STATE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        NTSTATUS got = STATUS_PENDING;
        DEVICE_CAPABILITIES caps{};
        auto r = RunScenario({}, [&] {
            sim::usb::UsbBusOptions options;
            if (c.wakeCapable) {
                options.powerMap.deviceState[PowerSystemSleeping3] = PowerDeviceD2;
                options.powerMap.deviceWake = PowerDeviceD2;
                options.powerMap.systemWake = PowerSystemSleeping3;
            }
            Bench bench(options);
            auto& pnp = sim::Simulation::Current().pnp();
            SIM_CHECK(pnp.SendPnp(bench.node, IRP_MN_QUERY_CAPABILITIES, &caps) == STATUS_SUCCESS);
            POWER_STATE state;
            state.SystemState = c.asked;
            PIRP irp = nullptr;
            SIM_CHECK(PoRequestPowerIrp(
                          bench.pdo, IRP_MN_WAIT_WAKE, state,
                          [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK io) {
                              *static_cast<NTSTATUS*>(context) = io->Status;
                          },
                          &got, &irp) == STATUS_PENDING);
            Sleep(sim::usb::kFrameTicks);
            const bool held = got == STATUS_PENDING;
            SIM_CHECK(held == (c.expected != STATUS_NOT_SUPPORTED &&
                               c.expected != STATUS_INVALID_DEVICE_STATE));
            if (held && c.ending == Wake) SIM_CHECK(bench.bus.SignalWake(bench.pdo));
            if (held && c.ending == Cancel) IoCancelIrp(irp);
            Sleep(sim::usb::kFrameTicks);
            SIM_CHECK_EQ(got, held && c.ending == Removal ? STATUS_PENDING : c.expected);
            bench.Remove();
            auto log = bench.bus.StackRequests(kInstance);
            SIM_CHECK_EQ(log[1].major, IRP_MJ_POWER);
            SIM_CHECK_EQ(log[1].minor, IRP_MN_WAIT_WAKE);
            SIM_CHECK_EQ(log[1].powerState, static_cast<ULONG>(c.asked));
            SIM_CHECK_EQ(log[1].completedWith, c.expected);
        });
        ExpectOk(r);
        EXPECT_EQ(got, c.expected);
        EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
        EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3],
                  c.wakeCapable ? PowerDeviceD2 : PowerDeviceD3);
        EXPECT_EQ(caps.DeviceWake, c.wakeCapable ? PowerDeviceD2 : PowerDeviceUnspecified);
        EXPECT_EQ(caps.WakeFromD2, c.wakeCapable ? 1u : 0u);
    }
}

}  // namespace
}  // namespace usbtest

namespace usbtest {
namespace {

// A run names every option of its bus that differs from the default in its
// replay line, so that a failure's report says what bus it ran on.
TEST(UsbBus, OptionsOtherThanTheDefaultAreNamedInTheReplayLine) {
    sim::usb::UsbBusOptions xhci;
    xhci.hostController = sim::usb::HostController::Xhci;
    xhci.turnaround = 500;
    sim::usb::UsbBusOptions wake;
    wake.powerMap.deviceState[PowerSystemSleeping3] = PowerDeviceD2;
    wake.powerMap.deviceWake = PowerDeviceD2;
    wake.powerMap.systemWake = PowerSystemSleeping3;
    const struct {
        sim::usb::UsbBusOptions options;
        const char* settings;
    } cases[] = {
        {{}, ""},
        {Immediate(), " usb-timing=immediate"},
        {xhci, " usb-host=xhci usb-turnaround=500"},
        {wake, " usb-power-map=S0:D0,S1:D3,S2:D3,S3:D2,S4:D3,S5:D3,wake:D2/S3"},
    };
    for (const auto& c : cases) {
        const sim::RunResult r = RunScenario({}, [&] {
            Bench bench(c.options);
            bench.Remove();
        });
        ExpectOk(r);
        EXPECT_EQ(r.Replay(), std::string("strategy=sequential seed=1") + c.settings);
    }
}

}  // namespace
}  // namespace usbtest
