// machine.cpp - the simulated PC behind sim/win32: simulation, USB bus,
// driver, cables and their peers, and the application's main thread.
#include "sim/win32/machine.h"

#include "platform/platform.h"
#include "sim/kernel/sim.h"
#include "sim/line/loopback_plug.h"
#include "sim/usb/usb_bus.h"

extern "C" DRIVER_INITIALIZE DriverEntry;

namespace win32sim {

namespace {

// Instance paths of the cables, in plug-in order.
std::string InstanceId(int index) {
    return "USB\\VID_1A2B&PID_0001\\5&1A2B3C4D&0&" + std::to_string(index + 1);
}

sim::Strategy StrategyOf(const std::string& name) {
    if (name == "random") return sim::Strategy::Random;
    if (name == "pct") return sim::Strategy::Pct;
    return sim::Strategy::Sequential;
}

}  // namespace

struct Machine::Impl {
    struct Cable {
        CableOptions options;
        std::unique_ptr<line::LinePeer> peer;  // phone or echo peer
        std::unique_ptr<line::LoopbackPlug> plug;
        sim::DeviceNode* node = nullptr;
        bool plugged = false;
        bool startFailed = false;  // its planned start failure has happened
    };
    MachineOptions options;
    std::vector<Cable> cables;
    std::unique_ptr<sim::Simulation> sim;
    std::unique_ptr<sim::usb::UsbBus> bus;
    PDRIVER_OBJECT driver = nullptr;
    bool ran = false;
    uint64_t appStart = 0;
    bool windowOpen = false;
    RunSummary* summary = nullptr;

    chip::FarEnd* FarEndOf(Cable& c) {
        return c.plug ? static_cast<chip::FarEnd*>(c.plug.get()) : c.peer.get();
    }
    // The cable's device node while it is plugged in, else a failed run.
    sim::DeviceNode* NodeOf(int cable) {
        Cable& c = cables.at(cable);
        if (!c.plugged) sim->Fail("cable " + std::to_string(cable + 1) + " is not plugged in");
        return c.node;
    }
};

namespace {

sim::usb::UsbBusOptions BusOptionsFor(const MachineOptions& options) {
    sim::usb::UsbBusOptions o;
    if (options.immediateBus) o.timing = sim::usb::UsbTiming::Immediate;
    if (options.wakeCapable) {
        for (int s = PowerSystemSleeping1; s <= PowerSystemSleeping3; ++s)
            o.powerMap.deviceState[s] = PowerDeviceD2;
        o.powerMap.deviceWake = PowerDeviceD2;
        o.powerMap.systemWake = PowerSystemSleeping3;
    }
    return o;
}

}  // namespace

Machine::Machine(MachineOptions options) : impl_(std::make_unique<Impl>()) {
    impl_->options = std::move(options);
}

// The Win32 objects of the machine's last run (events, threads, files) go
// with it; the next run would reset them, but there may be none.
Machine::~Machine() { ResetApiState(); }

MachineOptions& Machine::Options() { return impl_->options; }

int Machine::AddCable(const CableOptions& options) {
    Impl::Cable c;
    c.options = options;
    switch (options.peer) {
        case PeerKind::Phone:
            c.peer = std::make_unique<line::Phone>(options.phone);
            break;
        case PeerKind::Echo:
            c.peer = std::make_unique<line::EchoPeer>(options.phone.settings);
            break;
        case PeerKind::Loopback:
            c.plug = std::make_unique<line::LoopbackPlug>();
            break;
    }
    impl_->cables.push_back(std::move(c));
    return static_cast<int>(impl_->cables.size()) - 1;
}

RunSummary Machine::Run(const std::function<int()>& application) {
    Impl& m = *impl_;
    RunSummary summary;
    if (m.ran) {
        summary.report = "a machine runs once";
        return summary;
    }
    m.ran = true;
    sim::Options o;
    o.strategy = StrategyOf(m.options.strategy);
    o.seed = m.options.seed;
    o.pctDepth = m.options.pctDepth;
    o.echoTrace = m.options.echoTrace;
    o.paced = m.options.paced;
    m.sim = std::make_unique<sim::Simulation>(o);
    m.bus = std::make_unique<sim::usb::UsbBus>(BusOptionsFor(m.options));
    sim::Simulation& s = *m.sim;
    int exitCode = -1;
    bool returned = false;
    sim::RunResult result = s.Run([&] {
        ResetApiState();
        SetMonitor(m.options.monitor);
        if (!m.options.capturePath.empty() && !m.bus->CaptureTo(m.options.capturePath))
            s.Fail("cannot write the capture " + m.options.capturePath);
        m.driver = s.pnp().LoadDriver("bridgeser", DriverEntry);
        if (!m.driver) s.Fail("the driver did not load");
        if (m.options.afterLoad) m.options.afterLoad(m.driver);
        for (size_t i = 0; i < m.cables.size(); ++i) {
            if (!m.cables[i].options.plugAtStart) continue;
            if (!NT_SUCCESS(Plug(static_cast<int>(i))))
                s.Fail("cable " + std::to_string(i + 1) + " did not start");
        }
        m.appStart = s.SchedulingPoints();
        m.windowOpen = true;
        m.summary = &summary;
        if (m.options.observePoints)
            s.ObservePoints([&](uint64_t point) {
                m.options.observePoints(point - m.appStart, s.io().Dispatching() > 0);
            });
        if (m.options.interrupt.point != 0)
            s.InterruptAtPoint(m.appStart + m.options.interrupt.point, m.options.interrupt.name,
                               m.options.interrupt.body);
        exitCode = application();
        returned = true;
        EndInterruptWindow();
        CloseLeftoverHandles();
        SetMonitor(nullptr);
        for (size_t i = 0; i < m.cables.size(); ++i)
            if (m.cables[i].plugged) Unplug(static_cast<int>(i));
        m.bus->StopCapture();
        s.pnp().UnloadDriver(m.driver);
    });
    SetMonitor(nullptr);
    summary.ok = result.ok && returned;
    summary.exitCode = exitCode;
    summary.replay = result.Replay();
    if (!result.ok) summary.report = result.Report();
    else if (!returned) summary.report = result.Replay() + ": the application did not return";
    summary.virtualTime = result.virtualTime;
    summary.schedulingPoints = result.schedulingPoints;
    summary.poolAllocations = s.pool().AllocationCount();
    summary.poolClean = s.pool().Balance().empty();
    summary.capturedRecords = m.bus->CapturedRecords();
    summary.driverUnloaded = m.driver && s.pnp().Unloaded(m.driver);
    return summary;
}

std::string Machine::PortName(int cable) const {
    const Impl::Cable& c = impl_->cables.at(cable);
    return c.node ? c.node->portName : "";
}

void Machine::EndInterruptWindow() {
    Impl& m = *impl_;
    if (!m.windowOpen) return;
    m.windowOpen = false;
    sim::Simulation& s = *m.sim;
    m.summary->applicationPoints = s.SchedulingPoints() - m.appStart;
    m.summary->interrupted = m.options.interrupt.point != 0 && !s.InterruptPending();
    s.InterruptAtPoint(0, "", nullptr);
    s.ObservePoints(nullptr);
}

bool Machine::Plugged(int cable) const { return impl_->cables.at(cable).plugged; }

int32_t Machine::Plug(int cable) {
    Impl& m = *impl_;
    Impl::Cable& c = m.cables.at(cable);
    if (c.plugged) return STATUS_SUCCESS;
    sim::Pnp& pnp = m.sim->pnp();
    c.node = pnp.Enumerate(*m.bus, InstanceId(cable));
    NTSTATUS status = pnp.AddDevice(c.node, m.driver);
    if (!NT_SUCCESS(status)) return status;
    m.bus->AttachFarEnd(c.node->pdo, m.FarEndOf(c));
    if (c.options.startFailure != StartFailure::None && !c.startFailed) {
        c.startFailed = true;
        if (c.options.startFailure == StartFailure::LowerDriverFails) {
            m.bus->FailNextStart(c.node->pdo, STATUS_UNSUCCESSFUL);
        } else {
            chip::Fault refuse = chip::Fault::FailControl(
                chip::RequestMatch::Request(0x00, chip::kSetConfiguration), chip::kUsbdStatusStallPid);
            m.bus->Update(c.node->pdo, [&](chip::BridgeChip& chip) { chip.InjectFault(refuse); });
        }
    }
    status = pnp.SendPnp(c.node, IRP_MN_START_DEVICE);
    if (!NT_SUCCESS(status)) {
        // Windows removes a device whose start failed.
        m.bus->AttachFarEnd(c.node->pdo, nullptr);
        pnp.RemoveWhenClosed(c.node);
        return status;
    }
    c.plugged = true;
    return status;
}

void Machine::Unplug(int cable) {
    Impl::Cable& c = impl_->cables.at(cable);
    if (!c.plugged) return;
    c.plugged = false;
    impl_->bus->AttachFarEnd(c.node->pdo, nullptr);
    impl_->sim->pnp().Unplug(c.node);
}

int32_t Machine::RemoveOrderly(int cable) {
    Impl::Cable& c = impl_->cables.at(cable);
    sim::DeviceNode* node = impl_->NodeOf(cable);
    impl_->bus->AttachFarEnd(node->pdo, nullptr);
    NTSTATUS status = impl_->sim->pnp().Remove(node);
    if (NT_SUCCESS(status)) {
        c.plugged = false;
    } else {
        impl_->bus->AttachFarEnd(node->pdo, impl_->FarEndOf(c));
    }
    return status;
}

int32_t Machine::CancelledRemove(int cable) {
    return impl_->sim->pnp().CancelledRemove(impl_->NodeOf(cable));
}

int32_t Machine::Rebalance(int cable) {
    return impl_->sim->pnp().Rebalance(impl_->NodeOf(cable));
}

int32_t Machine::CancelledStop(int cable) {
    return impl_->sim->pnp().CancelledStop(impl_->NodeOf(cable));
}

void Machine::WakeByDevice(int cable, uint64_t asleepFor) {
    Impl& m = *impl_;
    sim::DeviceNode* node = m.NodeOf(cable);
    if (!m.options.wakeCapable) m.sim->Fail("WakeByDevice needs a wake-capable machine");
    sim::Pnp& pnp = m.sim->pnp();
    DEVICE_CAPABILITIES caps{};
    pnp.SendPnp(node, IRP_MN_QUERY_CAPABILITIES, &caps);
    POWER_STATE state;
    state.SystemState = PowerSystemSleeping3;
    pnp.SendPower(node, IRP_MN_SET_POWER, SystemPowerState, state);
    // The power manager arms the device for wake-up while the system sleeps.
    sim::ThreadId armed = m.sim->StartThread("Power", [&] {
        POWER_STATE wake;
        wake.SystemState = PowerSystemSleeping3;
        pnp.SendPower(node, IRP_MN_WAIT_WAKE, SystemPowerState, wake);
    });
    LARGE_INTEGER t;
    t.QuadPart = -static_cast<LONGLONG>(asleepFor);
    KeDelayExecutionThread(KernelMode, FALSE, &t);
    m.bus->SignalWake(node->pdo);
    m.sim->Join(armed);
    state.SystemState = PowerSystemWorking;
    pnp.SendPower(node, IRP_MN_SET_POWER, SystemPowerState, state);
}

std::vector<BusTransfer> Machine::Transfers(int cable) const {
    std::vector<BusTransfer> out;
    if (!impl_->cables.at(cable).node) return out;  // never plugged in
    for (const sim::usb::TransferRecord& r : impl_->bus->Transfers(InstanceId(cable))) {
        BusTransfer t;
        t.endpoint = r.endpoint;
        t.data = r.data;
        t.submitSeq = r.submitSeq;
        t.completingSeq = r.completingSeq;
        t.completedSeq = r.completedSeq;
        t.submittedAtPassive = r.submitIrql == PASSIVE_LEVEL;
        t.status = r.ntStatus;
        out.push_back(std::move(t));
    }
    return out;
}

uint64_t Machine::BusEventSeq() const { return impl_->bus->EventSeq(); }

void Machine::SleepAndResume(int cable, uint64_t asleepFor) {
    Impl::Cable& c = impl_->cables.at(cable);
    if (!c.plugged) return;
    sim::Pnp& pnp = impl_->sim->pnp();
    DEVICE_CAPABILITIES caps{};
    pnp.SendPnp(c.node, IRP_MN_QUERY_CAPABILITIES, &caps);
    POWER_STATE state;
    state.SystemState = PowerSystemSleeping3;
    pnp.SendPower(c.node, IRP_MN_SET_POWER, SystemPowerState, state);
    LARGE_INTEGER t;
    t.QuadPart = -static_cast<LONGLONG>(asleepFor);
    KeDelayExecutionThread(KernelMode, FALSE, &t);
    state.SystemState = PowerSystemWorking;
    pnp.SendPower(c.node, IRP_MN_SET_POWER, SystemPowerState, state);
}

void Machine::AtPeer(int cable, const std::function<void(line::LinePeer&)>& fn) {
    Impl::Cable& c = impl_->cables.at(cable);
    if (!c.peer || !c.plugged) return;
    impl_->bus->Update(c.node->pdo, [&](chip::BridgeChip&) { fn(*c.peer); });
}

int Machine::StartThread(const std::string& name, std::function<void()> body) {
    return impl_->sim->StartThread(name, std::move(body));
}

void Machine::Join(int thread) { impl_->sim->Join(thread); }

uint64_t Machine::Now() const { return impl_->sim->Now(); }

uint64_t Machine::Random() { return impl_->sim->Random(); }

std::string Machine::TraceTail(size_t events) const { return impl_->sim->trace().Tail(events); }
std::string Machine::TraceText() const { return impl_->sim->trace().Format(); }

std::vector<std::string> Machine::TraceEvents(const std::string& kind) const {
    std::vector<std::string> out;
    for (const sim::TraceRecord& e : impl_->sim->trace().EventsOfKind(kind)) {
        std::string line = sim::Trace::FormatEvent(e);
        out.push_back(line.substr(line.find_first_not_of(' ')));
    }
    return out;
}

std::vector<std::string> Machine::PortFacts(int cable) const {
    sim::Simulation& s = *impl_->sim;
    const Impl::Cable& c = impl_->cables.at(cable);
    std::vector<std::string> out;
    if (!c.node || !c.node->top) return out;
    std::string name = s.objects().NameOf(c.node->top);
    out.push_back("NT device name     " + name);
    for (const std::string& link : s.objects().LinksTo(name)) out.push_back("COM link           " + link);
    auto serialComm = s.registry().GetValue(std::string(sim::kDeviceMapPath) + "\\SERIALCOMM", name);
    out.push_back("SERIALCOMM value   " +
                  (serialComm ? "\"" + name + "\" = \"" + serialComm->AsString() + "\"" : std::string("(none)")));
    auto ports = s.registry().GetValue(sim::kPortsPath, c.node->portName + ":");
    out.push_back("Ports entry        " +
                  (ports ? "\"" + c.node->portName + ":\" = \"" + ports->AsString() + "\"" : std::string("(none)")));
    for (auto& i : s.objects().Interfaces())
        if (i.pdo == c.node->pdo)
            out.push_back("COM-port interface " + i.symbolicLink + (i.enabled ? " (enabled)" : " (disabled)"));
    return out;
}

void Machine::Post(std::function<void()> fn) { impl_->sim->Post(std::move(fn)); }

line::Phone* Machine::PhoneOf(int cable) {
    return dynamic_cast<line::Phone*>(impl_->cables.at(cable).peer.get());
}

line::LinePeer* Machine::PeerOf(int cable) { return impl_->cables.at(cable).peer.get(); }

}  // namespace win32sim
