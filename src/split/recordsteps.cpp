#include "failure.h"
#include "split/steps.h"

namespace seamline {

namespace {

[[noreturn]] void needsSiteMap() { fail("a join split into steps needs a site map (--vcf)"); }

}  // namespace

void recordPlan(const stepContext&, outputSet&) { needsSiteMap(); }
void recordBoundary(const stepContext&, size_t, outputSet&) { needsSiteMap(); }
void recordStretch(const stepContext&, size_t, outputSet&) { needsSiteMap(); }
void recordGather(const stepContext&, outputSet&, size_t, const std::vector<stretchFile>&) {
    needsSiteMap();
}

}  // namespace seamline
