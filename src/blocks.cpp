#include "blocks.h"

namespace seamline {

void blockBuffers::compress(blockFormat format) {
    compressed.clear();
    if (format == blockFormat::gzipMember)
        encoder.gzipMember(text.data(), text.size(), compressed);
    else if (format == blockFormat::bgzf)
        encoder.bgzfBlock(text.data(), text.size(), compressed);
    else
        general.bgzfBlock(text.data(), text.size(), compressed);
}

}  // namespace seamline
