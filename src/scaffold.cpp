#include "scaffold.h"

#include <cstring>
#include <iostream>
#include <new>

#include "failure.h"
#include "files.h"
#include "text.h"

namespace seamline {

std::set<std::string> readScaffold(const std::string& name) {
    std::cout << "Reading scaffolded samples in [" << name << "]" << std::endl;
    ifile in(name);
    if (!in.isOpen())
        fail("cannot open [" + name +
             "]: " + (in.openError() ? strerror(in.openError()) : "unknown error"));
    std::set<std::string> scaffold;
    lineReader lines(in);
    std::string_view line;
    size_t lineNo = 0;
    try {
        while (lines.next(line)) {
            lineNo++;
            dropCarriageReturn(line);
            scaffold.insert(std::string(line));
        }
    } catch (const std::bad_alloc&) {
        fail("cannot read [" + name + "] line " + std::to_string(lineNo + 1) + ": out of memory");
    }
    if (in.bad()) fail("cannot read [" + name + "]: the file is damaged or unreadable");
    in.close();
    std::cout << "  * #scaff=" << scaffold.size() << std::endl;
    return scaffold;
}

std::vector<bool> scaffolded(const std::vector<std::string>& samples,
                             const std::set<std::string>& scaffold) {
    std::vector<bool> flags;
    for (const std::string& sample : samples) flags.push_back(scaffold.count(sample) > 0);
    return flags;
}

}  // namespace seamline
