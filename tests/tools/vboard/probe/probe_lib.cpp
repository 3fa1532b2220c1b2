// The library of the probe program: found only through LD_LIBRARY_PATH.
extern "C" int vboard_probe_answer() { return 42; }
