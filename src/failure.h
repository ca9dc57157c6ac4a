#ifndef SEAMLINE_FAILURE_H
#define SEAMLINE_FAILURE_H

#include <stdexcept>
#include <string>

namespace seamline {

// A failure that ends the run. It is thrown where the failure is found and
// caught once, by the driver, which prints it and ends with exit status 1.
// Most failures are printed on standard error after "seamline: "; the few
// fixed lines that users' scripts read on standard output ("Missing option",
// "Not found = ", a failed overlap) are printed there as they stand.
class failure : public std::runtime_error {
public:
    enum class stream { console, errors };

    explicit failure(const std::string& message, stream where = stream::errors)
        : std::runtime_error(message), where(where), text(message) {}
    stream where;
    // The whole message: what() stops at a NUL byte that input text may hold.
    const std::string& message() const { return text; }

private:
    std::string text;
};

// Throws a failure for standard error.
[[noreturn]] inline void fail(const std::string& message) { throw failure(message); }

// Throws a failure whose line goes to standard output as it stands.
[[noreturn]] inline void failOnConsole(const std::string& line) {
    throw failure(line, failure::stream::console);
}

}  // namespace seamline

#endif
