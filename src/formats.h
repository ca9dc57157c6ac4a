#ifndef SEAMLINE_FORMATS_H
#define SEAMLINE_FORMATS_H

#include <htslib/hfile.h>

#include <string>

namespace seamline {

// What a file's name or content says it is. Every such decision of the
// program is taken here.

// Everything after the last "." of the whole name; empty when there is none.
std::string extensionFile(const std::string& filename);

enum class compression { none, gzip, bzip2 };
// By the name's extension: .gz or .bz2. Outputs are compressed this way.
compression compressionOfName(const std::string& name);

// By an input's first bytes: gzip (BGZF included) or bzip2 magic. An empty
// input takes the name's word, so that an empty .gz file stays damaged.
compression compressionOfContent(hFILE* fp, const std::string& name);

// ubcf: BCF written uncompressed (bcftools' -Ou), which no name stands for.
enum class variantFormat { none, vcf, vcfgz, bcf, ubcf };
// By the end of the name: ".vcf", ".vcf.gz" or ".vcf.bgz", ".bcf"; otherwise none.
variantFormat variantFormatOf(const std::string& name);
// BCF, compressed or not, rather than VCF text.
inline bool binaryFormat(variantFormat f) {
    return f == variantFormat::bcf || f == variantFormat::ubcf;
}

// What an input holds, by its first bytes: VCF or BCF (plain or compressed),
// as htslib's format detection says, or anything else.
enum class contentKind { other, vcf, bcf };
contentKind contentOf(hFILE* fp);

}  // namespace seamline

#endif
