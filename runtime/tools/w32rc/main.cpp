// w32rc [-I <dir>]... [--depfile <file>] -o <out.cpp> <script.rc>
//
// Compiles a resource script into a C++ source that registers the module's
// string and message tables (see rc_compiler.h for the language).
#include <stdio.h>
#include <string.h>

#include <fstream>
#include <string>
#include <vector>

#include "rc_compiler.h"

namespace {

int usage() {
    fprintf(stderr, "usage: w32rc [-I <dir>]... [--depfile <file>] -o <out.cpp> <script.rc>\n");
    return 2;
}

bool write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    if (!out) {
        fprintf(stderr, "w32rc: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> include_dirs;
    std::string output, depfile, input;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string* into) {
            if (i + 1 >= argc) return false;
            *into = argv[++i];
            return true;
        };
        if (arg == "-o") {
            if (!value(&output)) return usage();
        } else if (arg == "--depfile") {
            if (!value(&depfile)) return usage();
        } else if (arg == "-I") {
            std::string dir;
            if (!value(&dir)) return usage();
            include_dirs.push_back(dir);
        } else if (arg.compare(0, 2, "-I") == 0) {
            include_dirs.push_back(arg.substr(2));
        } else if (!arg.empty() && arg[0] == '-') {
            return usage();
        } else if (input.empty()) {
            input = arg;
        } else {
            return usage();
        }
    }
    if (input.empty() || output.empty()) return usage();
    try {
        w32rc::Compiled compiled = w32rc::compile_file(input, include_dirs);
        std::string name = input.substr(input.find_last_of('/') == std::string::npos ? 0 : input.find_last_of('/') + 1);
        if (!write_file(output, w32rc::generate_source(compiled, name))) return 1;
        if (!depfile.empty() && !write_file(depfile, w32rc::generate_depfile(compiled, output))) return 1;
    } catch (const w32rc::CompileError& e) {
        fprintf(stderr, "%s: error: %s\n", "w32rc", e.what());
        return 1;
    }
    return 0;
}
