# Set-up and everyday commands; the build itself is CMake's.
BUILD ?= build
PACKAGES = cmake make g++ libboost-iostreams-dev zlib1g-dev libbz2-dev libisal-dev libgtest-dev gzip bzip2 python3
# Manual page checks (groff, man) and the Debian package (dpkg-shlibdeps, file).
PACKAGES += groff-base man-db dpkg-dev file

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

test: build
	cd $(BUILD) && ctest --output-on-failure -j2

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
