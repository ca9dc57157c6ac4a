#include "dropin/headers.h"

#include "failure.h"

namespace seamline {

void headerMerger::add(headerPtr header, const std::string& file) {
    if (!merged) {
        merged = std::move(header);
    } else {
        checkDeclarations(header.get(), file);
        if (!bcf_hdr_merge(merged.get(), header.get()) || bcf_hdr_sync(merged.get()) < 0)
            fail("cannot join the headers of the chunks");
    }
    for (int i = 0; i < merged->n[BCF_DT_ID]; i++)
        if (merged->id[BCF_DT_ID][i].key) definedIn.emplace(merged->id[BCF_DT_ID][i].key, file);
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
            fail(std::string(kinds[t]) + "/" + pair.key + " is declared " +
                 declaration(ours, types[t], pair.key) + " in [" +
                 (first == definedIn.end() ? "" : first->second) + "] and " +
                 declaration(theirs, types[t], pair.key) + " in [" + name +
                 "]; one output header cannot hold both");
        }
    }
}

}  // namespace seamline
