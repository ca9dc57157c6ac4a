#ifndef SEAMLINE_DATA_H
#define SEAMLINE_DATA_H

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "chunk.h"

// One biallelic site of the site map.
class site {
public:
    int32_t chr;
    std::string id;
    int32_t pos;
    std::string ref;
    std::string alt;
    int32_t idx;   // index in data::sites
    int32_t cidx;  // chunk supplying the site, -1 when none does
    int32_t cpos;  // row of that chunk, -1 when none does
};

// Orders chunks along the chromosome by the site index of their first row.
struct less_than_chunk {
    bool operator()(const chunk* a, const chunk* b) const;
};

// The whole run: samples, sites, chunks and the options that shape reading.
class data {
public:
    std::vector<site*> sites;
    std::multimap<int32_t, site*> pos2site;
    bool flip;
    std::vector<std::string> I;  // sample identifiers
    std::vector<chunk*> chunks;
    std::set<std::string> scaffold;

    data();
    ~data();
    void readMap(const char* name);
    void readScaffold(const char* name);
    void readChunk(const char* name);
    void assemble();
    void writeHaplotypes(const char* fhaps, const char* fsamples);
};

#endif
