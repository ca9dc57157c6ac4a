#include "data.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "utils.h"

namespace {

// strtol with base 10, narrowed to 32 bits; text without a leading number is 0.
int32_t toInt32(const std::string& field) {
    return static_cast<int32_t>(strtol(field.c_str(), nullptr, 10));
}

std::string reasonOf(int error, const char* fallback) { return error ? strerror(error) : fallback; }

void requireOpen(const ifile& in) {
    if (!in.fd.is_open())
        futils::fatal("cannot open [" + in.name() + "]: " + reasonOf(in.error, "unknown error"));
}

// A read loop ends both at the end of the data and at a decompression or
// read error; only the bad state tells the two apart.
void requireReadToEnd(const ifile& in) {
    if (in.bad())
        futils::fatal("cannot read [" + in.name() + "]: the file is damaged or unreadable");
}

}  // namespace

data::data() : flip(false) {}

data::~data() {
    for (chunk* c : chunks) delete c;
    for (site* s : sites) delete s;
}

void data::readMap(const char* name) {
    std::cout << "Reading site map in [" << name << "]" << std::endl;
    ifile in(name, false);
    requireOpen(in);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 4, "#CHR") == 0) {
            std::vector<std::string> tok = sutils::tokenize(line, "\t");
            for (size_t t = 9; t < tok.size(); t++) I.push_back(tok[t]);
            std::cout << "  * #inds=" << I.size() << std::endl;
            continue;
        }
        if (!line.empty() && line[0] == '#') continue;
        std::vector<std::string> tok = sutils::tokenize(line, "\t", 5);
        if (tok.size() < 5) continue;
        std::vector<std::string> alts = sutils::tokenize(tok[4], ",");
        if (alts.empty() || alts[0] == "." || alts[0] == "0" || alts.size() != 1) continue;
        site* s = new site{toInt32(tok[0]),
                           tok[2],
                           toInt32(tok[1]),
                           tok[3],
                           tok[4],
                           static_cast<int32_t>(sites.size()),
                           -1,
                           -1};
        sites.push_back(s);
        pos2site.insert(std::make_pair(s->pos, s));
    }
    requireReadToEnd(in);
    in.close();
    std::cout << "  * #sites=" << sites.size() << std::endl;
}

void data::readScaffold(const char* name) {
    std::cout << "Reading scaffolded samples in [" << name << "]" << std::endl;
    ifile in(name, false);
    requireOpen(in);
    std::string line;
    while (std::getline(in, line)) scaffold.insert(line);
    requireReadToEnd(in);
    in.close();
    std::cout << "  * #scaff=" << scaffold.size() << std::endl;
}

void data::readChunk(const char*) {}

void data::assemble() {}

void data::writeHaplotypes(const char*, const char*) {}
