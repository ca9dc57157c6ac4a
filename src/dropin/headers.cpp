#include "dropin/headers.h"

#include <string>

#include "failure.h"

namespace seamline {

void headerMerger::add(headerPtr header, const std::string& file) {
    if (!merged) {
        merged = std::move(header);
    } else {
        checkDeclarations(header.get(), file);
        if (!addOtherLines(header.get()) || !bcf_hdr_merge(merged.get(), header.get()) ||
            bcf_hdr_sync(merged.get()) < 0)
            fail("cannot join the headers of the chunks");
    }
    for (int i = 0; i < merged->n[BCF_DT_ID]; i++)
        if (merged->id[BCF_DT_ID][i].key) definedIn.emplace(merged->id[BCF_DT_ID][i].key, file);
}

bool headerMerger::addOtherLines(const bcf_hdr_t* theirs) {
    // htslib's merge keeps one generic line per key; each chunk's own
    // (##source= of every window, a pipeline's tags) is kept here, once per
    // text. bcf_hdr_add_hrec drops a line already there and a second
    // ##fileformat.
    for (int i = 0; i < theirs->nhrec; i++) {
        const bcf_hrec_t* line = theirs->hrec[i];
        if (line->type != BCF_HL_GEN || !line->value) continue;
        bcf_hrec_t* copy = bcf_hrec_dup(const_cast<bcf_hrec_t*>(line));
        if (!copy || bcf_hdr_add_hrec(merged.get(), copy) < 0) return false;
    }
    return true;
}

namespace {

// "Number=N,Type=T" of a key's header line.
std::string declaration(const bcf_hdr_t* header, int type, const char* key) {
    bcf_hrec_t* line = bcf_hdr_get_hrec(header, type, "ID", key, nullptr);
    std::string text;
    for (const char* field : {"Number", "Type"}) {
        const int at = line ? bcf_hrec_find_key(line, field) : -1;
        if (at < 0) continue;
        text += (text.empty() ? "" : ",") + std::string(field) + "=" + line->vals[at];
    }
    return text;
}

// Whether a key's header line is one that htslib made up on meeting the key
// in a record of a header that lacks it.
bool madeUp(const bcf_hdr_t* header, int type, const char* key) {
    bcf_hrec_t* line = bcf_hdr_get_hrec(header, type, "ID", key, nullptr);
    const int at = line ? bcf_hrec_find_key(line, "Description") : -1;
    return at >= 0 && std::string(line->vals[at]) == "\"Dummy\"";
}

}  // namespace

void headerMerger::checkDeclarations(const bcf_hdr_t* theirs, const std::string& name) const {
    static const char* kinds[] = {"FILTER", "INFO", "FORMAT"};
    static const int types[] = {BCF_HL_FLT, BCF_HL_INFO, BCF_HL_FMT};
    const bcf_hdr_t* ours = merged.get();
    for (int i = 0; i < theirs->n[BCF_DT_ID]; i++) {
        const bcf_idpair_t& pair = theirs->id[BCF_DT_ID][i];
        if (!pair.key || !pair.val) continue;
        const int id = bcf_hdr_id2int(ours, BCF_DT_ID, pair.key);
        for (int t = 0; id >= 0 && t < 3; t++) {
            if (!pair.val->hrec[types[t]] || !bcf_hdr_idinfo_exists(ours, types[t], id)) continue;
            if (bcf_hdr_id2type(ours, types[t], id) == bcf_hdr_id2type(theirs, types[t], i) &&
                bcf_hdr_id2length(ours, types[t], id) == bcf_hdr_id2length(theirs, types[t], i) &&
                bcf_hdr_id2number(ours, types[t], id) == bcf_hdr_id2number(theirs, types[t], i))
                continue;
            const auto first = definedIn.find(pair.key);
            const bool madeUpFirst = madeUp(ours, types[t], pair.key);
            auto given = [&](const bcf_hdr_t* header, const std::string& file, bool lead) {
                const std::string line = declaration(header, types[t], pair.key);
                if (madeUp(header, types[t], pair.key))
                    return "not declared in [" + file + "] (read as " + line + ")";
                return (lead ? "declared " : "") + line + " in [" + file + "]";
            };
            fail(std::string(kinds[t]) + "/" + pair.key + " is " +
                 given(ours, first == definedIn.end() ? "" : first->second, true) + " and " +
                 given(theirs, name, madeUpFirst) + "; one output header cannot hold both");
        }
    }
}

}  // namespace seamline
