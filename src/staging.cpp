#include "staging.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "failure.h"

namespace seamline {

namespace {

// The staged files not yet put in place, kept where a signal handler can
// reach them without allocating. The list changes only while the signals
// that read it are blocked, so the handler never sees it half changed.
const int maxStaged = 16;
char* staged[maxStaged];
volatile sig_atomic_t nstaged = 0;
const int watched[] = {SIGINT, SIGTERM, SIGHUP};

void removeStagedAndDie(int sig) {
    for (int i = 0; i < nstaged; i++) unlink(staged[i]);
    signal(sig, SIG_DFL);
    raise(sig);
}

void watchForInterrupts() {
    static bool watching = false;
    if (watching) return;
    watching = true;
    // A signal that the run was started to ignore (nohup) stays ignored.
    for (int sig : watched)
        if (signal(sig, removeStagedAndDie) == SIG_IGN) signal(sig, SIG_IGN);
}

// Blocks the watched signals for as long as it lives.
class signalsHeld {
public:
    signalsHeld() {
        sigset_t set;
        sigemptyset(&set);
        for (int sig : watched) sigaddset(&set, sig);
        sigprocmask(SIG_BLOCK, &set, &previous);
    }
    ~signalsHeld() { sigprocmask(SIG_SETMASK, &previous, nullptr); }

private:
    sigset_t previous;
};

void remember(const std::string& temp) {
    signalsHeld held;
    if (nstaged == maxStaged) fail("too many outputs");
    staged[nstaged] = strdup(temp.c_str());
    nstaged = nstaged + 1;
}

// Takes a staged file off the list: it has been put in place or removed.
void forget(const std::string& temp) {
    for (int s = 0; s < nstaged; s++)
        if (temp == staged[s]) {
            free(staged[s]);
            staged[s] = staged[nstaged - 1];
            nstaged = nstaged - 1;
            return;
        }
}

std::string directoryOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

std::string baseOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Where a chain of symbolic links ends; that file need not exist.
std::string followLinks(const std::string& name) {
    std::string path = name;
    for (int hop = 0; hop < 40; hop++) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        std::string link(PATH_MAX, '\0');
        ssize_t n = readlink(path.c_str(), &link[0], link.size());
        if (n < 0) return path;
        link.resize(static_cast<size_t>(n));
        path = link[0] == '/' ? link : directoryOf(path) + link;
    }
    return path;
}

// The same file for two names: the same device and inode when it exists,
// the same directory and name when it is yet to be made.
std::string identityOf(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0)
        return "inode " + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    std::string dir = directoryOf(path);
    char* real = realpath(dir.empty() ? "." : dir.c_str(), nullptr);
    std::string id = "path " + std::string(real ? real : dir) + "/" + baseOf(path);
    free(real);
    return id;
}

// A path that the system refuses for its length alone (ENAMETOOLONG): PATH_MAX
// bytes or more, or a component longer than NAME_MAX bytes.
bool tooLong(const std::string& path) {
    if (path.size() >= PATH_MAX) return true;
    size_t start = 0;
    for (size_t slash; (slash = path.find('/', start)) != std::string::npos; start = slash + 1)
        if (slash - start > NAME_MAX) return true;
    return path.size() - start > NAME_MAX;
}

// The template of the staged file beside target. Its name ends with the name
// given, which chose the format by its extension, whatever the name of the
// file a symbolic link leads to; a long name is cut at the front so that the
// staged name stays within the file-name limit.
const std::string stagedPrefix = ".seamline-XXXXXX-";

std::string stagedName(const std::string& name, const std::string& target) {
    std::string base = baseOf(name);
    if (stagedPrefix.size() + base.size() > NAME_MAX)
        base = base.substr(base.size() - (NAME_MAX - stagedPrefix.size()));
    return directoryOf(target) + stagedPrefix + base;
}

// Creates the staged file beside target.
std::string stage(const std::string& name, const std::string& target) {
    std::string temp = stagedName(name, target);
    // What follows the X's: "-" and the name.
    const size_t suffix = baseOf(temp).size() - stagedPrefix.size() + 1;
    int fd = mkstemps(&temp[0], static_cast<int>(suffix));
    if (fd < 0) fail("cannot open [" + name + "]: " + strerror(errno));
    remember(temp);
    // mkstemps creates the file private; give it the mode a new file would get.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    ::close(fd);
    return temp;
}

}  // namespace

const std::string& output::path() const {
    static const std::string standardOutput = "-";
    if (toStdout) return standardOutput;
    return temp.empty() ? name : temp;
}

bool isStandardOutput(const std::string& name) {
    if (name == "-") return true;
    std::string target = followLinks(name);
    if (target == "/dev/stdout" || target == "/dev/fd/1" || target == "/proc/self/fd/1")
        return true;
    // The file or pipe that standard output is, by another name; a device
    // such as /dev/null or a terminal is shared without mixing anything.
    struct stat st, out;
    return !name.empty() && stat(name.c_str(), &st) == 0 && fstat(1, &out) == 0 &&
           st.st_dev == out.st_dev && st.st_ino == out.st_ino && !S_ISCHR(st.st_mode);
}

void failOutput(const std::string& name, const std::string& message) {
    fail("cannot write [" + name + "]: " + message);
}

outputSet::outputSet() { watchForInterrupts(); }

outputSet::~outputSet() {
    if (committed) return;
    signalsHeld held;
    for (const output& o : files)
        if (!o.temp.empty()) {
            unlink(o.temp.c_str());
            forget(o.temp);
        }
}

output outputSet::checked(const std::string& name, bool& inPlace) const {
    // An empty name names no file; its staged file could still be made.
    if (name.empty()) fail("cannot open []: " + std::string(strerror(ENOENT)));
    output o;
    o.name = name;
    o.toStdout = isStandardOutput(name);
    o.target = o.toStdout ? name : followLinks(name);
    // A name too long for the system would fail only when it is renamed into
    // place, after the outputs renamed before it.
    if (!o.toStdout && (tooLong(o.target) || tooLong(stagedName(name, o.target))))
        fail("cannot open [" + name + "]: " + strerror(ENAMETOOLONG));
    struct stat st;
    bool exists = !o.toStdout && stat(o.target.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) fail("cannot open [" + name + "]: Is a directory");
    inPlace = o.toStdout || (exists && !S_ISREG(st.st_mode));
    if (inPlace && !o.toStdout && access(o.target.c_str(), W_OK) != 0)
        fail("cannot open [" + name + "]: " + strerror(errno));
    // Two names of one file would leave only the last written; devices and
    // pipes other than standard output may take several outputs.
    for (const std::vector<output>* set : {&files, &reserved})
        for (const output& other : *set) {
            bool same = o.toStdout ? other.toStdout
                                   : !inPlace && identityOf(o.target) == identityOf(other.target);
            if (same) failOutput(name, "it is the same file as the output [" + other.name + "]");
        }
    return o;
}

size_t outputSet::add(const std::string& name) {
    // A reserved name is checked again, against the other outputs.
    reserved.erase(std::remove_if(reserved.begin(), reserved.end(),
                                  [&name](const output& o) { return o.name == name; }),
                   reserved.end());
    bool inPlace;
    output o = checked(name, inPlace);
    if (!inPlace) o.temp = stage(name, o.target);
    files.push_back(o);
    return files.size() - 1;
}

void outputSet::reserve(const std::string& name) {
    bool inPlace;
    reserved.push_back(checked(name, inPlace));
}

void outputSet::refuseInputs(const std::vector<std::string>& inputs) const {
    for (const std::vector<output>* set : {&files, &reserved})
        for (const output& o : *set) {
            struct stat out;
            if (o.toStdout || stat(o.target.c_str(), &out) != 0 || !S_ISREG(out.st_mode)) continue;
            for (const std::string& in : inputs) {
                struct stat st;
                // "-", standard input, is the file it was opened on, if any.
                const bool known =
                    in == "-" ? fstat(STDIN_FILENO, &st) == 0 : stat(in.c_str(), &st) == 0;
                if (known && st.st_dev == out.st_dev && st.st_ino == out.st_ino)
                    failOutput(o.name, "it is the input [" + in + "]");
            }
        }
}

void outputSet::commit() {
    signalsHeld held;
    for (const output& o : files) {
        if (o.temp.empty()) continue;
        if (rename(o.temp.c_str(), o.target.c_str()) != 0) failOutput(o.name, strerror(errno));
        forget(o.temp);
    }
    committed = true;
}

}  // namespace seamline
