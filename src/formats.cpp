#include "formats.h"

#include <htslib/hts.h>

namespace seamline {

std::string extensionFile(const std::string& filename) {
    size_t dot = filename.find_last_of('.');
    if (dot == std::string::npos) return "";
    return filename.substr(dot + 1);
}

compression compressionOfName(const std::string& name) {
    std::string ext = extensionFile(name);
    if (ext == "gz") return compression::gzip;
    if (ext == "bz2") return compression::bzip2;
    return compression::none;
}

contentKind contentOf(hFILE* fp) {
    htsFormat format;
    if (hts_detect_format(fp, &format) < 0) return contentKind::other;
    if (format.format == vcf) return contentKind::vcf;
    if (format.format == bcf) return contentKind::bcf;
    return contentKind::other;
}

}  // namespace seamline
