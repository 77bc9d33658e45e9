// main() of bridgesim in the race-detector build: the driver is linked into
// this executable, instrumented; the tool and the simulation are in a
// shared library built without the detector (bridgesim_world), whose calls
// into the detector's interceptors are ignored. The detector's own
// lock-order checking is off: it would count the scheduler's host mutex,
// handed from fiber to fiber, and the verifier checks the driver's locks.
int BridgesimMain(int argc, char** argv);

extern "C" const char* __tsan_default_options() {
    return "ignore_noninstrumented_modules=1:detect_deadlocks=0:halt_on_error=0:exitcode=66";
}

int main(int argc, char** argv) { return BridgesimMain(argc, argv); }
