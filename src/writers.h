#ifndef SEAMLINE_WRITERS_H
#define SEAMLINE_WRITERS_H

#include <cstdint>
#include <string>
#include <vector>

#include "files.h"
#include "join.h"
#include "options.h"
#include "site.h"
#include "staging.h"
#include "vcfwrite.h"

namespace seamline {

class regionList;
struct phaseSetRule;

// An output file opened for its writer, compressed as its name says;
// messages name the output as given. A file that cannot be opened fails.
class outputFile : public ofile {
public:
    explicit outputFile(const output& out, int threads = 1);
    outputFile(const std::string& path, const std::string& name, compression how, int threads);
    // Writes the text and empties it.
    void put(std::string& text);
    // Closes the file; a failed write, flush or compressed trailer is a failure.
    void finish();

private:
    std::string name;
};

// Text is gathered into blocks of about a megabyte before it is written.
const size_t textBlock = size_t(1) << 20;

// The sample file: a two-line header, then one line per sample.
void writeSamples(const output& out, const std::vector<std::string>& samples);

// The decision report: one row per boundary and sample with the evidence of
// the orientation decision, and with seamColumn each sample's seam.
void writeReport(const output& out, const joinResult& join, const std::vector<std::string>& samples,
                 const std::vector<bool>& scaffolded, bool seamColumn);

// What a haplotype output needs besides the join.
struct haplotypeSettings {
    std::string commandLine;  // recorded in VCF and BCF headers
    int threads = 1;
    bool single = false;  // the one output of -o, where "-" means VCF on standard output
    variantFormat format = variantFormat::none;  // as asked whatever the name; none: by the name
    char index = 0;           // 'c' (CSI) or 't' (TBI) asked; 0: as the name says, when it does
    bool indexByName = true;  // without index asked, an output named .vcf.gz or .bcf gets one
    bool noVersion = false;   // no line naming seamline or its command in the header
    // Without a site map: the records written, all when null, and their
    // FORMAT/PS (dropin/phasesets.h).
    const regionList* regions = nullptr;
    const phaseSetRule* phaseSets = nullptr;
};

// The format of a haplotype output: by its name, and VCF for "-" given to -o.
variantFormat haplotypeFormat(const std::string& name, bool single);
// The same, unless forced (not none) says otherwise.
variantFormat haplotypeFormat(const std::string& name, variantFormat forced, bool single);
// The format that bcftools' output type letter (u, b, v, z) stands for; none for 0.
variantFormat outputFormatOf(char type);

// Reserves every name that the index beside the haplotype output may take
// (TBI or CSI for VCF.gz, CSI for BCF), so that it is checked before anything
// is read; writeHaplotypes stages the one it chooses.
// An output is indexed when it is compressed VCF or BCF, is put in place, and
// its name says so or settings.index asks for it.
void reserveIndex(outputSet& outputs, size_t haplotypes, const haplotypeSettings& settings = {});

// Where each output of a join stands in its output set.
struct outputIndex {
    size_t haplotypes = 0;
    size_t samples = 0, report = 0;  // valid when the join writes them
};

// Stages every output that opt names before anything is read: the sample
// file first (and so put in place first), the haplotypes, the report; the
// names the index may take are checked too. None may be an input or be
// named like an option.
outputIndex stageOutputs(outputSet& outputs, const options& opt,
                         const haplotypeSettings& settings = {});

// Stages the index beside a haplotype output that is put in place: TBI, or
// CSI when csi says so. Returns where to write it; empty when there is none.
std::string stageIndex(outputSet& outputs, size_t haplotypes, bool csi,
                       const haplotypeSettings& settings = {});

// Whether a site begins or ends beyond what a TBI index holds.
bool beyondTbi(const std::vector<site>& sites);

// Confidence, 0 to 99, in an orientation decision taken on keep and swap rows.
int reportQuality(int32_t keep, int32_t swap);

}  // namespace seamline

#endif
