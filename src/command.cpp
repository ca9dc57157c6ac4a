#include "command.h"

#include <htslib/hts.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "bcftoolsform.h"
#include "failure.h"
#include "writers.h"

namespace seamline {

namespace {

// Why a chunk cannot be read without a site map.
[[noreturn]] void refuseChunk(const std::string& name, const inputCheck& check) {
    switch (check.kind) {
        case inputKind::missing:
            fail("chunk [" + name + "]: no such file");
        case inputKind::directory:
            fail("chunk [" + name + "] is a directory");
        case inputKind::index:
            fail("chunk [" + name + "] is an index, not a chunk");
        case inputKind::compressed:
            fail("chunk [" + name + "] is compressed with " + check.compression +
                 "; without --vcf every chunk must be VCF or BCF, plain or compressed with bgzip");
        case inputKind::empty:
            fail("chunk [" + name + "] is empty");
        case inputKind::unreadable:
            fail("cannot open [" + name + "]: " + strerror(check.error));
        default:
            fail("chunk [" + name + "] is not VCF or BCF; without --vcf every chunk must be");
    }
}

// The checks of seamline's own form that come before anything is read or
// echoed, for a run along a site map (or one that lacks it).
void checkOwnForm(const options& opt) {
    if (opt.seam && std::string(opt.seam) != "middle" && std::string(opt.seam) != "agree")
        fail("--seam takes middle or agree, not [" + std::string(opt.seam) + "]");
    if (opt.single && (opt.haplotypes || opt.samples))
        fail("-o and --output cannot be given together");
    if (opt.single && haplotypeFormat(opt.single, true) == variantFormat::none)
        fail("-o takes a name ending in .vcf, .vcf.gz, .vcf.bgz or .bcf, or -, not [" +
             std::string(opt.single) + "]");
    if (opt.allowGaps) fail("--allow-gaps joins chunks without a site map only");
    compressionLevelOf(opt.compressionLevel);
    usableThreads(opt.threads);
}

// The message of the failure that check throws; empty when it throws none.
template <typename Check>
std::string failureOf(Check check) {
    try {
        check();
    } catch (const failure& f) {
        return f.message();
    }
    return "";
}

// A run of seamline's own form: the warnings about arguments that no option
// takes come before its first failing check.
command ownForm(const options& opt, const std::string& failed) {
    // A stray argument may be a chunk file that --chunks stopped short of.
    for (const std::string& arg : opt.ignored)
        std::cerr << "seamline: ignoring argument [" << arg << "]" << std::endl;
    if (!failed.empty()) fail(failed);
    return {opt, {}};
}

// What the chunks that are regular files hold, as far as they tell the form:
// VCF or BCF in one of them, or else text in one of them, or nothing. streams:
// some chunk is standard input, a pipe or a device, which is not looked at.
enum class guess { variants, text, nothing };
guess byRegularFiles(const std::vector<std::string>& names, bool& streams) {
    guess found = guess::nothing;
    for (const std::string& name : names) {
        struct stat st;
        if (name == "-" ||
            (stat(name.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))) {
            streams = true;
            continue;
        }
        const inputKind kind = checkInput(name).kind;
        if (kind == inputKind::variants) return guess::variants;
        if (kind == inputKind::other) found = guess::text;
    }
    return found;
}

// The names of a list file, one a line (empty lines skipped), as bcftools
// reads them, put among the chunks where -f stood.
void readFileList(options& opt) {
    int n = 0;
    char** lines = hts_readlines(opt.fileList, &n);
    if (!lines)
        fail("cannot read the list of chunks [" + std::string(opt.fileList) +
             "]: " + (errno ? strerror(errno) : "unreadable"));
    std::vector<std::string> names(lines, lines + n);
    for (int i = 0; i < n; i++) free(lines[i]);
    free(lines);
    opt.chunks.insert(opt.chunks.begin() + static_cast<std::ptrdiff_t>(opt.fileListAt),
                      names.begin(), names.end());
}

bool hasArgument(int argc, char** argv, const char* text) {
    for (int i = 1; i < argc; i++)
        if (std::string(argv[i]) == text) return true;
    return false;
}

}  // namespace

command readCommand(int argc, char** argv, streamCopies& copies) {
    const options own = scanArguments(argc, argv);
    if (own.help || own.version) return {own, {}};
    const std::string ownFailure = failureOf([&] { checkOwnForm(own); });
    const bcftoolsScan peer = scanBcftoolsForm(argc, argv);
    // --vcf standing last unsets the site map, but the run is still one along it.
    if (own.vcf || peer.opt.vcf || hasArgument(argc, argv, "--vcf"))
        return ownForm(own, ownFailure);
    const std::string peerFailure =
        peer.error.empty() ? failureOf([&] { checkBcftoolsForm(peer.opt); }) : peer.error;

    bool streams = false;
    const guess kind = byRegularFiles(peer.opt.chunks, streams);
    if (kind == guess::text) return ownForm(own, ownFailure);
    // Without a file that tells, what the command asks does, or a stream.
    const bool asked = (peer.distinct && peer.error.empty()) || peer.opt.fileList;
    if (kind == guess::nothing && !asked && !streams) return ownForm(own, ownFailure);
    if (peer.opt.help || peer.opt.version) return {peer.opt, {}};
    if (!peerFailure.empty()) fail(peerFailure);

    // Every check is done: the inputs may be read.
    options opt = peer.opt;
    if (opt.fileList) readFileList(opt);
    if (opt.chunks.empty())
        fail(
            "no chunks: name the VCF or BCF chunks as arguments, after --chunks or in a list "
            "file (-f)");
    if (std::count(opt.chunks.begin(), opt.chunks.end(), "-") > 1)
        fail("chunk [-] is named twice: standard input can be read once");
    std::vector<chunkFile> files;
    std::vector<inputCheck> checks;
    bool anyVariants = false;
    for (const std::string& name : opt.chunks) {
        files.push_back(copies.add(name));
        checks.push_back(checkInput(files.back().path));
        if (checks.back().kind == inputKind::variants) anyVariants = true;
    }
    // Streams of text rows: a run along a site map that lacks it.
    if (!anyVariants && kind == guess::nothing && !asked) return ownForm(own, ownFailure);
    for (size_t c = 0; c < files.size(); c++)
        if (checks[c].kind != inputKind::variants) refuseChunk(files[c].name, checks[c]);
    // bcftools writes VCF text under a name that says nothing.
    if (opt.single && !opt.outputType && haplotypeFormat(opt.single, true) == variantFormat::none)
        opt.outputType = 'v';
    return {opt, files};
}

}  // namespace seamline
