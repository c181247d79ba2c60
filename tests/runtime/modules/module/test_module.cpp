// A module for the host tests: a shared object with its own string and
// message tables and one export. It links no runtime: the tables register
// with the runtime of the test program that loads it.
extern "C" __attribute__((visibility("default"))) int host_test_module_answer() { return 42; }
