#ifndef SEAMLINE_COMMAND_H
#define SEAMLINE_COMMAND_H

#include <vector>

#include "files.h"
#include "options.h"

namespace seamline {

// The command as the run reads it, in the form that applies: the options,
// and for a join without a site map its chunk files (streams copied aside).
struct command {
    options opt;
    std::vector<chunkFile> records;  // empty for a join along a site map
};

// Reads the command line in both forms and chooses by what the run is. A
// run with a site map (--vcf), or whose chunks hold text rows, is
// seamline's own form, with all its behaviours: its arguments that no option
// takes are warned about on standard error, and its "Missing option" lines
// come later, from echo(). A run whose chunks are VCF or BCF without a site
// map is read as bcftools concat's ligation reads its command
// (bcftoolsform.h). Every check of the options of either form is done before
// any input is opened; regular files are then looked at to tell the form,
// and only then are the list file read and streams copied.
command readCommand(int argc, char** argv, streamCopies& copies);

}  // namespace seamline

#endif
