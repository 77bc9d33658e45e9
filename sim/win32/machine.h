// machine.h - a simulated PC for Windows serial applications: the driver
// loaded into the simulated kernel, cables on the simulated USB bus with a
// peer on each serial line (a phone, a loopback plug or an echo peer), and
// an application function that runs as the machine's main thread and calls
// the Windows API of sim/win32/windows.h.
//
// This header includes no kernel header, so that an application source may
// include it next to sim/win32/windows.h (the demo does).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/line/phone.h"
#include "sim/win32/sim_io.h"

namespace win32sim {

enum class PeerKind { Phone, Loopback, Echo };

// How a cable's start goes wrong, when it does.
enum class StartFailure {
    None,
    ChipRefusesConfiguration,  // the chip stalls SET_CONFIGURATION
    LowerDriverFails,          // the hub fails IRP_MN_START_DEVICE
};

struct CableOptions {
    PeerKind peer = PeerKind::Phone;
    line::PhoneOptions phone;  // the phone's options; settings also serve the echo peer
    // Plugged in before the application starts; when false the application
    // plugs it in itself (Plug).
    bool plugAtStart = true;
    // The first start of the cable fails this way; Windows then removes the
    // device (when its last handle closes, if one is open).
    StartFailure startFailure = StartFailure::None;
};

// A thread started at a chosen scheduling point of the application's run
// (counted from the moment the application starts), ahead of whatever runs
// there: a Plug and Play or power event arriving at exactly that moment.
struct Interrupt {
    uint64_t point = 0;  // 0: none
    std::string name;
    std::function<void()> body;
};

// One completed USB transfer of a cable, as the bus saw it.
struct BusTransfer {
    uint8_t endpoint = 0;
    std::vector<uint8_t> data;
    uint64_t submitSeq = 0;      // the bus's event order at submission
    uint64_t completingSeq = 0;  // ... when it was completed to the driver
    uint64_t completedSeq = 0;   // ... when the driver's completion routine returned
    bool submittedAtPassive = false;
    int32_t status = 0;         // NT status
};

struct MachineOptions {
    std::string strategy = "sequential";  // sequential, random or pct
    uint64_t seed = 1;
    int pctDepth = 3;
    bool echoTrace = false;      // print every trace event as it happens
    bool paced = false;          // virtual time follows the wall clock (interactive use)
    std::string capturePath;     // USBPcap capture of the run, when set
    RequestMonitor* monitor = nullptr;  // sees every request of the application
    // Called with the driver object right after the driver has loaded.
    std::function<void(void* driverObject)> afterLoad;
    Interrupt interrupt;
    // Called at every scheduling point of the application's run with the
    // point's number (as Interrupt counts them) and whether a dispatch
    // routine of an application request is running at that moment.
    std::function<void(uint64_t point, bool dispatching)> observePoints;
    // The bus completes every transfer the moment the chip moves its data,
    // instead of in full-speed frames.
    bool immediateBus = false;
    // The cables can wake the system: sleeping states map to D2 and the
    // device may signal a wake (WakeByDevice). Otherwise every sleeping
    // state is D3 and no wake is possible.
    bool wakeCapable = false;
};

// The verdict of a run.
struct RunSummary {
    bool ok = false;          // no bug check, no deadlock, no leak, the application returned
    int exitCode = -1;        // what the application returned
    std::string replay;       // "strategy=random seed=17"
    std::string report;       // the failure report (empty when ok)
    uint64_t virtualTime = 0;  // 100 ns
    uint64_t schedulingPoints = 0;
    uint64_t poolAllocations = 0;
    bool poolClean = false;   // every pool block freed
    size_t capturedRecords = 0;
    uint64_t applicationPoints = 0;  // scheduling points from the application's start to its return
    bool interrupted = false;        // the planned interrupt ran
    bool driverUnloaded = false;     // the driver was unloaded at the end
};

class Machine {
  public:
    explicit Machine(MachineOptions options = {});
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // The options given at construction, to adjust before Run.
    MachineOptions& Options();
    // Adds a cable, plugged in when the run starts (in order: COM3, COM4...).
    int AddCable(const CableOptions& options);
    // Runs the application on the machine's main thread once every cable is
    // up; afterwards closes what it left open, unplugs the cables still in
    // and unloads the driver. A machine runs once.
    RunSummary Run(const std::function<int()>& application);

    // Inside a run, from a simulated thread:
    // Ends the stretch of the application's run that the interrupt and the
    // point observer cover (a planned interrupt not yet reached never runs);
    // what follows (the application's own checks) is outside it. Without
    // it the stretch ends when the application returns.
    void EndInterruptWindow();
    std::string PortName(int cable) const;
    bool Plugged(int cable) const;
    // Plugs the cable in (again): the same instance, so the same COM name.
    // Returns the start's NT status; a failed start is followed by the
    // removal of the device.
    int32_t Plug(int cable);
    void Unplug(int cable);
    // Plug and Play as Windows sends it to the cable's stack; each returns
    // the NT status of its decisive request. RemoveOrderly is vetoed
    // (query, then cancel) while a handle is open.
    int32_t RemoveOrderly(int cable);
    int32_t CancelledRemove(int cable);
    int32_t Rebalance(int cable);
    int32_t CancelledStop(int cable);
    // The system sleeps (S3); the device, armed for wake, signals a wake
    // after `asleepFor`; the system resumes. Needs a wake-capable machine.
    void WakeByDevice(int cable, uint64_t asleepFor);
    // The cable's completed USB transfers so far.
    std::vector<BusTransfer> Transfers(int cable) const;
    // The bus's event counter now (BusTransfer's sequence numbers).
    uint64_t BusEventSeq() const;
    // The system sleeps (S3) for `asleepFor` (100 ns) and resumes (S0), as
    // the power manager sends it to the cable's stack.
    void SleepAndResume(int cable, uint64_t asleepFor);
    // Runs fn with the cable's peer in step with the bus's clock (to make
    // the peer send or change its lines).
    void AtPeer(int cable, const std::function<void(line::LinePeer&)>& fn);
    // Starts an application thread; Join waits for it.
    int StartThread(const std::string& name, std::function<void()> body);
    void Join(int thread);
    uint64_t Now() const;  // virtual, 100 ns
    // A number from the run's seeded generator (the same seed, the same numbers).
    uint64_t Random();
    std::string TraceTail(size_t events) const;
    std::string TraceText() const;
    // The trace events of one kind (URB, IRP, ...) so far, formatted.
    std::vector<std::string> TraceEvents(const std::string& kind) const;
    // What an application can find of a cable's port: NT name, COM link,
    // SERIALCOMM value, Ports entry and COM-port interface, one per line.
    std::vector<std::string> PortFacts(int cable) const;
    // Outside input, from any host thread: fn runs inside the simulation
    // (in a DPC context) when the scheduler next drains the queue.
    void Post(std::function<void()> fn);

    // Peers, inside or after the run.
    line::Phone* PhoneOf(int cable);
    line::LinePeer* PeerOf(int cable);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace win32sim
