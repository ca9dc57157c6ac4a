#ifndef SEAMLINE_BCFTOOLSFORM_H
#define SEAMLINE_BCFTOOLSFORM_H

#include <string>

#include "options.h"

namespace seamline {

// bcftools concat's ligation command line, read as getopt_long reads it
// (-Oz9, -O z9, --output-type=z9, -oFILE, --output=FILE, clustered short
// options, unambiguous abbreviations of long ones, "--" before inputs), into
// the same options value that seamline's own scanner fills. seamline's own
// long options are read too, so the two may be mixed: inputs may be given as
// arguments, in a list file (-f) or after --chunks. Arguments that no option
// takes are inputs when they come before the first --chunks; after it they
// are chunks that lost their place, and refused. --output takes one name,
// or two (the haplotypes and the sample file) in a command with --chunks
// when a second name follows.
struct bcftoolsScan {
    options opt;
    // The first argument that cannot be read in this form, in words for
    // the user; empty when every argument could be.
    std::string error;
    // The command uses what only a join without a site map reads: an input
    // given as an argument, a short option, a "=" form, an abbreviation, an
    // option seamline's own form lacks, or --output with one name.
    bool distinct = false;
};
bcftoolsScan scanBcftoolsForm(int argc, char** argv);

// The checks of a command read in this form that need no file: every value,
// the output and its type, options that cannot go together. Throws the first
// failure.
void checkBcftoolsForm(const options& opt);

}  // namespace seamline

#endif
