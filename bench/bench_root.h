// A machine root of the benchmark's own: a fresh folder under /tmp (or the
// folder EVTRACE_BENCH_DIR names, to compare file systems), named by
// EVTRACE_ROOT for the processes the benchmark starts and used by this one,
// removed with its shared memory at the end.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include <string>

#include <w32rt/machine.h>

class BenchRoot {
public:
    BenchRoot() {
        const char* base = getenv("EVTRACE_BENCH_DIR");
        std::string tmpl = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/evtrace-bench-XXXXXX";
        if (mkdtemp(tmpl.data()) == nullptr) {
            perror(("evtrace benchmark: cannot make a machine root as " + tmpl).c_str());
            exit(1);
        }
        path_ = tmpl;
        setenv("EVTRACE_ROOT", path_.c_str(), 1);
        w32rt::use_machine_root(path_);
    }
    ~BenchRoot() { w32rt::destroy_machine_root(path_, true); }
    BenchRoot(const BenchRoot&) = delete;
    BenchRoot& operator=(const BenchRoot&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};
