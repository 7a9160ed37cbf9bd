# Two commands do all the set-up on a fresh Debian machine: `make run` and `make test`.

# The configure options of each build live in CMakePresets.json; a preset's folder is build for
# default and bench, build-<preset> for the others. BUILD puts it elsewhere.
PRESET      ?= default
BUILD       ?= $(if $(filter default bench,$(PRESET)),build,build-$(PRESET))
CTEST_JOBS  ?= 2
FUZZ_SECONDS ?= 30

# Every Debian package the build, the stand-ins, the tests and the benchmarks need.
PACKAGES := build-essential cmake ninja-build pkg-config \
	libpugixml-dev libplist-dev libicu-dev libsystemd-dev libsqlite3-dev \
	dbus-daemon sqlite3 libgtest-dev libgmock-dev libbenchmark-dev \
	nlohmann-json3-dev clang libclang-rt-14-dev python3 valgrind libnss-wrapper patchelf \
	prometheus-node-exporter

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps configure build run test test-asan test-tsan fuzz bench exports format clean

all: build

deps:
	@missing=$$(for p in $(PACKAGES); do \
		dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
		echo "installing:" $$missing; \
		$(SUDO) apt-get update && $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y $$missing; \
	fi

$(BUILD)/CMakeCache.txt: | deps
	cmake --preset $(PRESET) -B $(BUILD) $(CMAKE_ARGS)

configure: deps $(BUILD)/CMakeCache.txt

build: configure
	cmake --build $(BUILD)

run: build
	@scripts/run-demo.sh $(BUILD)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(CTEST_JOBS)

test-asan:
	$(MAKE) test PRESET=asan

test-tsan:
	$(MAKE) test PRESET=tsan

# Every libFuzzer target for FUZZ_SECONDS each (clang, address+undefined, its own build folder).
fuzz: deps
	FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/run-fuzz.sh build-fuzz

# Every benchmark program, then the one table of BENCHMARKS.md from their JSON output.
bench: build
	scripts/run-benchmarks.sh $(BUILD)
	scripts/bench-table.py $(BUILD)/bench-results BENCHMARKS.md

# After a deliberate change to what the library exports: the list its test compares with.
exports: configure
	cmake --build $(BUILD) --target VivoziZevidodirid
	scripts/exports.sh $(BUILD)/libVivoziZevidodirid.so.1 > tests/library/exports.txt.new
	mv tests/library/exports.txt.new tests/library/exports.txt

format:
	find include platform runner tools version volumes privacy libexec cli tests bench \
		-name '*.h' -o -name '*.cpp' | xargs clang-format -i

clean:
	rm -rf build build-asan build-tsan build-fuzz
