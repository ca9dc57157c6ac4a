#ifndef SEAMLINE_SCAFFOLD_H
#define SEAMLINE_SCAFFOLD_H

#include <set>
#include <string>
#include <vector>

namespace seamline {

// Reads the scaffold list, one sample name a line, printing its banner and
// count: samples whose pairs every chunk already holds in one orientation.
std::set<std::string> readScaffold(const std::string& name);

// Per sample of the run: whether the scaffold list names it.
std::vector<bool> scaffolded(const std::vector<std::string>& samples,
                             const std::set<std::string>& scaffold);

}  // namespace seamline

#endif
