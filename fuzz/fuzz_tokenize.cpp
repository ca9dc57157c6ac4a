// The tokenizer. Input: a count byte c, then c % 8 delimiter bytes, then a
// byte that is not used, then the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "files.h"
#include "require.h"
#include "text.h"

using namespace seamline;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    size_t count = data[0] % 8;
    if (size < 2 + count) return 0;
    std::string delimiters(reinterpret_cast<const char*>(data + 1), count);
    std::string text(reinterpret_cast<const char*>(data + 2 + count), size - 2 - count);

    std::vector<std::string> all = tokenize(text, delimiters);
    std::string joined;
    for (const std::string& t : all) {
        require(!t.empty());
        require(t.find_first_of(delimiters) == std::string::npos);
        joined += t;
    }
    // Every byte that is not a delimiter lands in exactly one field, in order.
    std::string kept;
    for (char ch : text)
        if (delimiters.find(ch) == std::string::npos) kept += ch;
    require(joined == kept);
    if (delimiters.empty()) require(all.size() == (text.empty() ? 0u : 1u));
    return 0;
}
