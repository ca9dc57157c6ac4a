# Set-up and everyday commands; the build itself is CMake's.
BUILD ?= build
PACKAGES = cmake make g++ libboost-iostreams-dev zlib1g-dev libbz2-dev libisal-dev libdeflate-dev libgtest-dev gzip bzip2 python3
# VCF and BCF: htslib to build against, bcftools and tabix for the tests.
PACKAGES += libhts-dev bcftools tabix
# Manual page checks (groff, man) and the Debian package (dpkg-shlibdeps, file).
PACKAGES += groff-base man-db dpkg-dev file
# The whole-genome workflow (workflow/) and its test.
PACKAGES += snakemake

.PHONY: deps build example test bench bench-small clean

# Installs the Debian packages the build needs when any is missing.
deps:
	@missing=$$(for p in $(PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null \
	  | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing:" $$missing; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j2

example: build
	cd examples && ../$(BUILD)/seamline --vcf sites.vcf --chunks chr20.c1.haps.gz chr20.c3.haps chr20.c2.haps.bz2 --scaffold scaffold.txt --flip --output ../$(BUILD)/example.haps.gz ../$(BUILD)/example.sample
	@echo "--- $(BUILD)/example.sample"; cat $(BUILD)/example.sample
	@echo "--- $(BUILD)/example.haps.gz (first lines)"; zcat $(BUILD)/example.haps.gz | head -n 8
	@echo "--- the same chunks as VCF.gz, BCF and VCF, joined into an indexed VCF.gz"
	$(BUILD)/seamline --vcf examples/sites.vcf --chunks examples/chr20.c1.vcf.gz examples/chr20.c2.bcf examples/chr20.c3.vcf --scaffold examples/scaffold.txt --flip --output $(BUILD)/example.vcf.gz $(BUILD)/example.vcf.sample >/dev/null
	@ls $(BUILD)/example.vcf.gz*; zcat $(BUILD)/example.vcf.gz | grep -v '^##' | head -n 4
	@echo "--- the same VCF and BCF chunks without a site map: every record and field kept"
	$(BUILD)/seamline --chunks examples/chr20.c1.vcf.gz examples/chr20.c2.bcf examples/chr20.c3.vcf -o $(BUILD)/example.records.vcf.gz >/dev/null
	@ls $(BUILD)/example.records.vcf.gz*

test: build
	cd $(BUILD) && ctest --output-on-failure -j2

# One executable without shared libraries, $(BUILD)/seamline-static, for any
# x86-64 Linux: configured in $(BUILD)/static with Debian's static libraries
# (libhtscodecs-dev and liblzma-dev bring those htslib's needs); gzip input
# is inflated by zlib there, as Debian ships ISA-L shared only.
PACKAGES += libhtscodecs-dev liblzma-dev
.PHONY: static
static: deps
	cmake -S . -B $(BUILD)/static -DCMAKE_BUILD_TYPE=Release -DSEAMLINE_STATIC=ON -DBUILD_TESTING=OFF
	cmake --build $(BUILD)/static -j2 --target seamline
	cp $(BUILD)/static/seamline $(BUILD)/seamline-static

# Builds the Debian package $(BUILD)/seamline_VERSION_ARCH.deb.
.PHONY: package
package: build
	cd $(BUILD) && cpack -G DEB

# The benchmark (bench/run-bench --help): default size, several minutes.
# ARGS passes options on, e.g. make bench ARGS=--small or ARGS="--rounds 3".
bench: build
	python3 bench/run-bench --build $(BUILD) $(ARGS)

# The benchmark at its small size: a smoke test of a few seconds.
bench-small: build
	python3 bench/run-bench --build $(BUILD) --small $(ARGS)

clean:
	rm -rf $(BUILD)

# The Snakemake workflow on examples/workflow/ (two chromosomes with a site
# map and one without, --cores 2), its outputs under $(BUILD)/workflow/out/
# compared with direct seamline runs, the same with scatter: true (compressed outputs decompressed),
# and the SLURM profile: a dry run, and runs, one job per chromosome and
# scattered, with stand-ins for sbatch and sacct. The test suite runs the same
# script.
.PHONY: workflow
workflow: build
	bash tests/dist/workflow.sh $(BUILD)/seamline $(CURDIR) $(BUILD)/workflow

# The scattered join (scatter: true) on examples/workflow/ against the one job
# per chromosome, for haplotypes as .haps, .haps.gz, .vcf.gz and .bcf, with the
# report: the one job's outputs are moved aside and the scattered run writes to
# the same paths (VCF and BCF headers record them). Every output must be the
# same bytes, or, compressed, the same bytes once decompressed (each stretch is
# compressed on its own, so blocks may end elsewhere); an index must give the
# same answer to a region query across the chunks' overlaps. The .vcf.gz and
# .bcf rounds also join chr20 of examples/workflow/no-site-map.yaml, which has
# no site map (its text may differ in the header line of the command only).
# Outputs under $(BUILD)/workflow-scatter/.
.PHONY: workflow-scatter
workflow-scatter: SHELL = /bin/bash
workflow-scatter: build
	@set -e; w=$(abspath $(BUILD))/workflow-scatter; rm -rf $$w; mkdir -p $$w; \
	run() { snakemake --snakefile workflow/Snakefile --directory $$w --cores 2 \
	  --configfile $$configs --config seamline=$(abspath $(BUILD))/seamline \
	  inputdir=$(CURDIR)/examples/workflow outdir=$$w/out report=true "$$@" >$$w/run.log 2>&1 \
	  || { tail -n 30 $$w/run.log; echo "workflow-scatter: snakemake $$* failed"; exit 1; }; }; \
	text() { case $$1 in *.gz) zcat $$1 ;; *.bcf) bcftools view --no-version $$1 ;; *) cat $$1 ;; esac; }; \
	records() { text $$1 | grep -v '^##seamlineCommand='; }; \
	for ext in .haps .haps.gz .vcf.gz .bcf; do \
	  configs=examples/workflow/config.yaml; \
	  if [[ $$ext != .haps* ]]; then \
	    configs+=" examples/workflow/no-site-map.yaml"; fi; \
	  echo "--- haplotypes as $$ext: one job, then scattered"; \
	  run extension=$$ext; mv $$w/out $$w/one$$ext; \
	  run extension=$$ext scatter=true; mv $$w/out $$w/scatter$$ext; \
	  for one in $$w/one$$ext/*.*; do \
	    f=$${one##*/}; scattered=$$w/scatter$$ext/$$f; chrom=$${f%%.*}; \
	    if cmp -s $$one $$scattered; then echo "$$f: the same bytes"; \
	    elif [[ $$f == *.tbi || $$f == *.csi ]]; then \
	      region=$${chrom#chr}:14003000-14013000; \
	      [[ $$chrom != chr20 ]] || region=20:65000-76000; \
	      cmp -s <(bcftools view -H -r $$region $${one%.*}) <(bcftools view -H -r $$region $${scattered%.*}) \
	        || { echo "workflow-scatter: $$scattered answers $$region otherwise"; exit 1; }; \
	      echo "$$f: other bytes, the same records in $$region"; \
	    elif cmp -s <(text $$one) <(text $$scattered); then echo "$$f: the same bytes decompressed"; \
	    elif [[ $$chrom == chr20 ]] && cmp -s <(records $$one) <(records $$scattered); then \
	      echo "$$f: the same bytes decompressed but for the line of the command"; \
	    else echo "workflow-scatter: $$scattered differs from $$one"; exit 1; fi; \
	  done; \
	done; \
	echo "workflow-scatter: the scattered join's outputs hold the one job's in $$w"

# Sanitized build (clang): the whole test suite, end-to-end runs included,
# with AddressSanitizer, UndefinedBehaviorSanitizer and leak checking. The
# sanitized build also holds the fuzz targets; `make fuzz` runs each for
# FUZZ_SECONDS seconds, one at a time.
PACKAGES += clang libclang-rt-14-dev llvm
SANITIZE_BUILD ?= build-asan
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = tokenize readmap readchunk run chunkrow deflate vcf
SANITIZER_ENV = ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

.PHONY: build-sanitize test-sanitize fuzz

build-sanitize: deps
	CC=clang CXX=clang++ cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++ -DSEAMLINE_SANITIZE=ON -DSEAMLINE_FUZZ=ON
	cmake --build $(SANITIZE_BUILD) -j2

# The workflow test checks Snakemake's side and runs for a minute, and the
# static and conda builds compile seamline anew, unsanitized; the plain suite
# runs them.
test-sanitize: build-sanitize
	cd $(SANITIZE_BUILD) && $(SANITIZER_ENV) ctest --output-on-failure -j2 -LE 'workflow|rebuild'

# New inputs go to $(SANITIZE_BUILD)/fuzz-corpus/TARGET, findings to
# $(SANITIZE_BUILD)/fuzz-findings/, the log to $(SANITIZE_BUILD)/fuzz-TARGET.log.
fuzz: build-sanitize
	@for t in $(FUZZ_TARGETS); do \
	  work=$(SANITIZE_BUILD)/fuzz-corpus/$$t; log=$(SANITIZE_BUILD)/fuzz-$$t.log; \
	  mkdir -p $$work $(SANITIZE_BUILD)/fuzz-findings; \
	  seeds=fuzz/corpus/$$t; [ -d fuzz/regressions/$$t ] && seeds="$$seeds fuzz/regressions/$$t"; \
	  echo "fuzz_$$t: $(FUZZ_SECONDS) s"; \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 $(SANITIZE_BUILD)/fuzz/fuzz_$$t $$work $$seeds \
	    -max_total_time=$(FUZZ_SECONDS) -timeout=10 -print_final_stats=1 \
	    -artifact_prefix=$(SANITIZE_BUILD)/fuzz-findings/$$t- >$$log 2>&1 \
	    || { tail -n 80 $$log; echo "fuzz_$$t found a failing input (see $$log)"; exit 1; }; \
	  grep -E '^#[0-9]+[[:space:]]+DONE' $$log || true; \
	done

# Small joins of every mode (site map, without one, split into steps) under
# valgrind's memcheck, on the plain build: reads of uninitialised memory,
# which the sanitizers do not see, end the run with a failure. About half a
# minute.
PACKAGES += valgrind

.PHONY: test-valgrind
test-valgrind: build
	bash tests/dist/valgrind.sh $(BUILD)/seamline $(BUILD)/seamline_generate $(CURDIR)

# ThreadSanitizer build (clang) of the unit tests, which drive the worker pool
# and the parallel gzip output, and of the seamline their end-to-end cases run;
# in $(TSAN_BUILD)/. A report stops the test binary with a failure.
TSAN_BUILD ?= build-tsan

.PHONY: test-tsan
test-tsan: deps
	CC=clang CXX=clang++ cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
	  -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread
	cmake --build $(TSAN_BUILD) -j2 --target unit_tests seamline
	TSAN_OPTIONS=halt_on_error=1:suppressions=$(CURDIR)/tests/tsan.supp $(TSAN_BUILD)/tests/unit_tests
