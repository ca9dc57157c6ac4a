#ifndef SEAMLINE_TESTUTIL_H
#define SEAMLINE_TESTUTIL_H

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

// A fresh directory under /tmp, removed with everything in it at the end.
struct tempDir {
    std::string root;
    tempDir() {
        char tmpl[] = "/tmp/seamline-test-XXXXXX";
        if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
        root = tmpl;
    }
    ~tempDir() {
        if (system(("chmod -R u+rwx '" + root + "' 2>/dev/null; rm -rf '" + root + "'").c_str())) {
        }
    }
    std::string path(const std::string& name) const { return root + "/" + name; }
};

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void spit(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
}

inline bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Runs a shell command and returns its standard output.
inline std::string shell(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

struct runResult {
    std::string out, err;
    int status = -1;  // exit status, or 128 + signal number
};

// Runs the built seamline in the directory cwd with the given arguments,
// after the shell commands of setup (limits, for instance).
inline runResult runSeamline(const std::string& cwd, const std::vector<std::string>& args,
                             const std::string& setup = "") {
    std::string cmd = "cd '" + cwd + "' && " + setup + " exec '" SEAMLINE_BIN "'";
    for (const std::string& a : args) {
        std::string quoted = "'";
        for (char c : a) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        cmd += " " + quoted + "'";
    }
    std::string errFile = cwd + "/.stderr";
    cmd += " 2>'" + errFile + "'";
    runResult r;
    FILE* p = popen(cmd.c_str(), "r");
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    r.err = slurp(errFile);
    unlink(errFile.c_str());
    return r;
}

// The arguments of front followed by those of args.
inline std::vector<std::string> with(std::vector<std::string> front,
                                     const std::vector<std::string>& args) {
    front.insert(front.end(), args.begin(), args.end());
    return front;
}

#endif
