#ifndef SEAMLINE_STAGING_H
#define SEAMLINE_STAGING_H

#include <string>
#include <vector>

namespace seamline {

// One output file of the run. A regular file (or a new one) is written under
// a temporary name beside its target and renamed onto it only when the whole
// run has succeeded; a device, a pipe or standard output is written in place.
class output {
public:
    std::string name;    // as given on the command line
    std::string target;  // the file put in place: name, or where its symbolic links lead
    std::string temp;    // the staged file; empty when written in place
    bool toStdout = false;

    // Where the writer writes: the staged file, the name itself, or "-".
    const std::string& path() const;
};

// Every output of the run. Each is checked and staged when it is added,
// before any input is read, so that a name that cannot be written fails at
// once. Staged files are removed when the set is destroyed before commit
// (the run failed) or the run is interrupted (SIGINT, SIGTERM, SIGHUP), and
// renamed into place together, in the order they were added, by commit.
class outputSet {
public:
    outputSet();
    ~outputSet();
    outputSet(const outputSet&) = delete;
    outputSet& operator=(const outputSet&) = delete;
    // Checks the name and stages it; returns its index. Throws a failure when
    // the name cannot be written.
    size_t add(const std::string& name);
    // Checks the name as add does without staging it: an output that the run
    // may or may not write, such as an index whose kind is chosen only once
    // the inputs are read. Until it is added, it counts as an output for the
    // checks of later names and of the inputs.
    void reserve(const std::string& name);
    // Throws a failure when an output, staged or reserved, is one of these files.
    void refuseInputs(const std::vector<std::string>& inputs) const;
    const output& operator[](size_t i) const { return files[i]; }
    size_t size() const { return files.size(); }
    void commit();

private:
    std::vector<output> files, reserved;
    bool committed = false;

    // The output of a name, checked against the outputs staged or reserved;
    // inPlace tells one that is written in place and so not staged.
    output checked(const std::string& name, bool& inPlace) const;
};

// "-", or a name that opens the file that standard output already is.
bool isStandardOutput(const std::string& name);

// Throws the failure "cannot write [name]: message".
[[noreturn]] void failOutput(const std::string& name, const std::string& message);

}  // namespace seamline

#endif
