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

struct CableOptions {
    PeerKind peer = PeerKind::Phone;
    line::PhoneOptions phone;  // the phone's options; settings also serve the echo peer
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
};

class Machine {
  public:
    explicit Machine(MachineOptions options = {});
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Adds a cable, plugged in when the run starts (in order: COM3, COM4...).
    int AddCable(const CableOptions& options);
    // Runs the application on the machine's main thread once every cable is
    // up; afterwards closes what it left open, unplugs the cables still in
    // and unloads the driver. A machine runs once.
    RunSummary Run(const std::function<int()>& application);

    // Inside a run, from a simulated thread:
    std::string PortName(int cable) const;
    void Unplug(int cable);
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
