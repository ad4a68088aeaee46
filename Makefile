# Tolvanex: `make run` runs the simulator's main job, `make check` the whole
# suite. Both install what they need on a Debian 12 machine first.

BUILD      ?= build
BUILD_SAN  ?= build-san
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
PACKAGES   := build-essential cmake g++ googletest libgtest-dev libgmock-dev libbenchmark-dev \
              liblua5.4-dev libcli11-dev mingw-w64-i686-dev g++-mingw-w64-i686 binutils-mingw-w64-i686 tshark

.PHONY: all deps build build-san run check test test-san bench format clean

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

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

build-san: deps
	cmake -S . -B $(BUILD_SAN) -DCMAKE_BUILD_TYPE=Debug -DTOLVANEX_SANITIZE=ON >/dev/null
	cmake --build $(BUILD_SAN) -j $(JOBS)

run: build
	./$(BUILD)/tools/tolvanex-sim

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-san: build-san
	cd $(BUILD_SAN) && ctest --output-on-failure -j $(JOBS)

check: test test-san

bench: build
	./$(BUILD)/tolvanex-bench

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(BUILD_SAN)
