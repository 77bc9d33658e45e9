// Reads end to end: a peer on the line sends, the chip's FIFO fills at the
// line rate, bulk-in transfers carry the bytes into the ring, and reads take
// them with their time-out rules.
#include <gtest/gtest.h>

#include "tests/harness/port_rig.h"

namespace {

using namespace porttest;

TEST(Read, SmokeBytesArriveInOrder) {
    ExpectOk(RunOnPort({}, [](PortRig& rig) {
        rig.PeerSends(Pattern(100));
        std::vector<uint8_t> got(100);
        ULONG n = 0;
        NTSTATUS st = rig.sim.io().Read(rig.handle, got.data(), 100, &n);
        SIM_CHECK(st == STATUS_SUCCESS);
        SIM_CHECK(n == 100);
        SIM_CHECK(got == Pattern(100));
        for (auto& e : rig.sim.trace().EventsOfKind("URB")) printf("%s\n", sim::Trace::FormatEvent(e).c_str());
    }));
}

}  // namespace
