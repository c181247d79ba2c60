// A machine root of the benchmark's own: a fresh folder under /tmp, named by
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
        char tmpl[] = "/tmp/evtrace-bench-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) {
            perror("evtrace benchmark: cannot make a machine root under /tmp");
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
