# Tolvanex: `make run` runs the simulator's main job, `make check` the whole
# suite. Both install what they need on a Debian 12 machine first.

BUILD      ?= build
BUILD_SAN  ?= build-san
BUILD_I386 ?= build-i386
BUILD_FUZZ ?= build-fuzz
BUILD_COV  ?= build-cov
BUILD_RACE ?= build-race
RACE_SEEDS ?= 1..1000
FUZZ_SECONDS ?= 60
# A number of executions per target instead of a time, e.g.
# `make fuzz FUZZ_RUNS=1000000` (FUZZ_SECONDS then bounds nothing).
FUZZ_RUNS  ?=
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
PACKAGES   := build-essential cmake g++ googletest libgtest-dev libgmock-dev libbenchmark-dev \
              liblua5.4-dev mingw-w64-i686-dev g++-mingw-w64-i686 binutils-mingw-w64-i686 tshark \
              iputils-ping libcli11-dev nlohmann-json3-dev mscgen clang-14 libclang-rt-14-dev libfuzzer-14-dev gcovr \
              valgrind
# The 32-bit host that runs the NT image: the multilib compiler and Lua for
# i386 through Debian's multiarch.
IMAGE_PACKAGES := g++-multilib liblua5.4-dev:i386
FUZZ_TARGETS := requests isdn_messages registry

.PHONY: all deps deps-image build build-san build-image build-fuzz build-cov build-race run check test test-san \
        test-image test-fuzz test-race fuzz coverage bench format clean

all: build

# Installs only what is missing, so a second run is quick and quiet.
deps:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  if [ "$$(id -u)" != 0 ]; then SUDO=sudo; fi; \
	  $$SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -qq && \
	  $$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	fi

# Adds the i386 architecture when it is missing. Where the mirror cannot
# give liblua5.4-dev:i386 (its libc6-dev:i386 must match the installed
# libc6-dev exactly), Lua's i386 run-time library is enough: the build uses
# the native package's headers.
deps-image: deps
	@if [ "$$(id -u)" != 0 ]; then SUDO=sudo; fi; \
	if ! dpkg --print-foreign-architectures | grep -qx i386; then \
	  echo "adding the i386 architecture"; \
	  $$SUDO dpkg --add-architecture i386 && $$SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -qq; \
	fi; \
	installed() { dpkg-query -W -f='$${Status}' $$1 2>/dev/null | grep -q "install ok installed"; }; \
	missing=""; for p in $(IMAGE_PACKAGES); do \
	  if [ $$p = liblua5.4-dev:i386 ] && installed liblua5.4-0:i386 && installed liblua5.4-dev; then continue; fi; \
	  installed $$p || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing || \
	  { echo "falling back to liblua5.4-0:i386"; \
	    $$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
	      g++-multilib liblua5.4-0:i386; }; \
	fi

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

build-san: deps
	cmake -S . -B $(BUILD_SAN) -DCMAKE_BUILD_TYPE=Debug -DTOLVANEX_SANITIZE=ON >/dev/null
	cmake --build $(BUILD_SAN) -j $(JOBS)

build-image: deps-image
	cmake -S . -B $(BUILD_I386) -DCMAKE_TOOLCHAIN_FILE=cmake/i386-linux.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD_I386) -j $(JOBS)

run: build
	./$(BUILD)/tools/tolvanex-sim

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-san: build-san
	cd $(BUILD_SAN) && ctest --output-on-failure -j $(JOBS)

test-image: build-image
	cd $(BUILD_I386) && ctest --output-on-failure -j $(JOBS)

# The fuzz targets only: the driver and the host under clang, libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer.
build-fuzz: deps
	CXX=clang++-14 cmake -S . -B $(BUILD_FUZZ) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVANEX_FUZZ=ON >/dev/null
	cmake --build $(BUILD_FUZZ) -j $(JOBS)

# Each target 60 s from its seed corpus, as CI runs them.
test-fuzz: build-fuzz
	cd $(BUILD_FUZZ) && FUZZ_SECONDS=60 ctest --verbose

# Each target for FUZZ_SECONDS, one after the other, growing the corpus in
# $(BUILD_FUZZ)/fuzz/corpus; findings go to $(BUILD_FUZZ)/findings.
fuzz: build-fuzz
	@status=0; for t in $(FUZZ_TARGETS); do \
	  FUZZ_SECONDS=$(if $(FUZZ_RUNS),0,$(FUZZ_SECONDS)) fuzz/run_fuzz.sh $(BUILD_FUZZ)/fuzz/fuzz_$$t fuzz/corpus/$$t \
	    $(BUILD_FUZZ)/fuzz/corpus/$$t $(BUILD_FUZZ)/findings $(if $(FUZZ_RUNS),-runs=$(FUZZ_RUNS)) || status=1; \
	done; exit $$status

# The race detector: the driver under ThreadSanitizer, each context a TSan
# fiber; its tests are the miniature faulty drivers, the scenarios over
# RACE_SEEDS and the driver with its receive-queue lock taken out.
build-race: deps
	cmake -S . -B $(BUILD_RACE) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVANEX_RACES=ON \
	  -DTOLVANEX_RACE_SEEDS=$(RACE_SEEDS) >/dev/null
	cmake --build $(BUILD_RACE) -j $(JOBS)

test-race: build-race
	cd $(BUILD_RACE) && ctest --output-on-failure -j $(JOBS)

build-cov: deps
	cmake -S . -B $(BUILD_COV) -DCMAKE_BUILD_TYPE=Debug -DTOLVANEX_COVERAGE=ON -DTOLVANEX_BENCH=OFF >/dev/null
	cmake --build $(BUILD_COV) -j $(JOBS)

# The suite in the coverage build, then driver/'s line and branch coverage
# per module and every line it never ran.
coverage: build-cov
	find $(BUILD_COV) -name '*.gcda' -delete
	cd $(BUILD_COV) && ctest -j $(JOBS) --output-on-failure
	tests/coverage_report.sh $(BUILD_COV)

check: test test-san test-race test-image test-fuzz

bench: build
	./$(BUILD)/tolvanex-bench
	@echo "Instructions per round trip, counted by callgrind"
	bench/callgrind_ratio.sh $(BUILD)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(BUILD_SAN) $(BUILD_I386) $(BUILD_FUZZ) $(BUILD_COV)
