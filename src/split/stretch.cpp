#include "split/stretch.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>

#include "failure.h"
#include "files.h"
#include "sitemap/haplotypes.h"

namespace seamline {

namespace {

// The file of an output written by copying, or -1 with errno set.
int openOutput(const output& out) {
    if (out.path() == "-") return STDOUT_FILENO;
    return ::open(out.path().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

}  // namespace

void writeStretch(const std::string& path, const std::string& name, const std::string& haplotypes,
                  const siteMap& sites, const joinResult& join, const haplotypeSettings& settings,
                  std::vector<variantWriter::pieceEntry>& entries) {
    const variantFormat format = haplotypeFormat(haplotypes, settings.single);
    if (format != variantFormat::none) {
        variantWriter writer(path, name, format, haplotypeHeader(sites, ""), entries,
                             settings.threads);
        writeHaplotypeRecords(writer, sites, join);
    } else {
        outputFile file(path, name, compressionOfName(haplotypes), settings.threads);
        writeHaplotypeText(file, sites, join);
    }
}

void gatherHaplotypes(outputSet& outputs, size_t haplotypes, const variantWriter::header& header,
                      bool farSites, const std::vector<stretchFile>& stretches,
                      const haplotypeSettings& settings) {
    const output& out = outputs[haplotypes];
    std::cout << "Writing haplotypes in [" << out.name << "]" << std::endl;
    std::unique_ptr<variantWriter> writer;
    int fd = -1;
    if (haplotypeFormat(out.name, settings.single) != variantFormat::none)
        writer = haplotypeWriter(outputs, haplotypes, header, farSites, settings);
    else if ((fd = openOutput(out)) < 0)
        fail("cannot open [" + out.name + "]: " + strerror(errno));
    for (const stretchFile& stretch : stretches) {
        int from = ::open(stretch.path.c_str(), O_RDONLY | O_CLOEXEC);
        if (from < 0) fail("cannot read [" + stretch.path + "]: " + strerror(errno));
        std::string problem;
        try {
            if (writer)
                writer->appendPiece(from, stretch.size, stretch.entries);
            else
                problem = copyBytes(from, fd, stretch.size);
        } catch (...) {
            ::close(from);
            if (fd >= 0 && fd != STDOUT_FILENO) ::close(fd);
            throw;
        }
        ::close(from);
        if (!problem.empty()) {
            if (fd != STDOUT_FILENO) ::close(fd);
            failOutput(out.name, problem);
        }
    }
    if (writer) writer->close();
    if (fd >= 0 && fd != STDOUT_FILENO && ::close(fd) < 0) failOutput(out.name, strerror(errno));
}

}  // namespace seamline
