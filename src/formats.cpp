#include "formats.h"

#include <htslib/hts.h>

#include <string_view>

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

compression compressionOfContent(hFILE* fp, const std::string& name) {
    unsigned char magic[3];
    ssize_t n = hpeek(fp, magic, sizeof magic);
    if (n <= 0) return compressionOfName(name);
    if (n >= 2 && magic[0] == 0x1f && magic[1] == 0x8b) return compression::gzip;
    if (n == 3 && magic[0] == 'B' && magic[1] == 'Z' && magic[2] == 'h') return compression::bzip2;
    return compression::none;
}

variantFormat variantFormatOf(const std::string& name) {
    auto endsWith = [&name](std::string_view suffix) {
        return name.size() >= suffix.size() &&
               name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
    };
    if (endsWith(".vcf")) return variantFormat::vcf;
    if (endsWith(".vcf.gz") || endsWith(".vcf.bgz")) return variantFormat::vcfgz;
    if (endsWith(".bcf")) return variantFormat::bcf;
    return variantFormat::none;
}

contentKind contentOf(hFILE* fp) {
    htsFormat format{};
    if (hts_detect_format(fp, &format) < 0) return contentKind::other;
    if (format.format == vcf) return contentKind::vcf;
    if (format.format == bcf) return contentKind::bcf;
    return contentKind::other;
}

}  // namespace seamline
